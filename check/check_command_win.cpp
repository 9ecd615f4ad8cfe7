// The Windows build of morvek-cli has no stream check: it says so and refuses.
#include "check/check_command.h"

#include <cstdio>

namespace {

const char kNotAvailable[] =
    "morvek-cli: the stream check (check, --check) is not available in the Windows build;\n"
    "use the Linux build of morvek-cli to check a channel list.\n";

int SayNotAvailable() {
  std::fputs(kNotAvailable, stderr);
  return kExitUsage;
}

}  // namespace

void HandOverToCheckProgram(char** /*argv*/, bool /*check*/) {}

std::string CheckLibraryVersions() { return "not available in the Windows build"; }

int RunCheckCommand(const std::vector<std::string>& /*args*/) { return SayNotAvailable(); }

int RefuseCheckOptions(const std::vector<GivenOption>& /*options*/,
                       const std::vector<NamedOutput>& /*harvestOutputs*/) {
  return SayNotAvailable();
}

int CheckHarvestedList(ChannelList& /*list*/, const std::vector<GivenOption>& /*options*/,
                       bool /*quiet*/) {
  return SayNotAvailable();
}
