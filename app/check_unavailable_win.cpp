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

void HandOverToCheckProgram(int /*argc*/, char** /*argv*/) {}

std::string CheckLibraryVersions() { return "not available in the Windows build"; }

int RunCheckCommand(const std::vector<std::string>& /*args*/) { return SayNotAvailable(); }

// The check's own options are never parsed here.
bool CheckOptionTakesValue(const std::string& /*name*/) { return false; }

bool TakeCheckOption(int /*argc*/, char** argv, int* i, std::vector<std::string>& args) {
  const std::string arg = argv[*i];
  if (arg.compare(0, sizeof kCheckOptionPrefix - 1, kCheckOptionPrefix) != 0) return false;
  args.push_back(arg);
  return true;
}

int RefuseCheckOptions(const std::vector<std::string>& /*args*/,
                       const std::vector<NamedOutput>& /*harvestOutputs*/) {
  return SayNotAvailable();
}

int CheckHarvestedList(ChannelList& /*list*/, const std::vector<std::string>& /*args*/,
                       bool /*quiet*/) {
  return SayNotAvailable();
}
