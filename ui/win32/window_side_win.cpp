// The window-side operations for the Win32 window. (Placeholder until the window program lands.)
#include "harvest/window_side.h"

bool ServiceRunEvent() { return false; }
void ShowChannel(const ChannelRecord&) {}
void ShowChannelCount(int32_t) {}
void ShowRunFinished() {}
void ShowFinalStatus(int32_t, const std::string&) {}
int ShowMessage(const std::string&, const std::string&, int) { return 0; }
