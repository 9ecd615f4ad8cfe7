// The update run. (Placeholder until the run lands.)
#include "harvest/update_run.h"

void RunUpdate(HarvestState& /*state*/, const std::string& /*siteBase*/,
               const std::string& /*outputPath*/) {}
