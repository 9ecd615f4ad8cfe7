// Category by keywords. (Placeholder until the keyword table lands.)
#include "harvest/classifier.h"

int KeywordTest(const std::string& /*about*/, const std::string& /*keyword*/) { return 0; }
std::string ClassifyChannel(const std::string& /*about*/) { return "Unknown"; }
