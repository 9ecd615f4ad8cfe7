// Writes channels.dat. (Placeholder until the safe writer lands.)
#include "harvest/channel_list.h"

bool WriteChannelFile(ChannelList& /*list*/, const std::string& /*path*/) { return false; }
