// morvek-cli without the stream check: `check` and `--check` run the same command line in
// morvek-check, the build of morvek-cli that has the check. So a harvest never loads the
// media libraries (their start-up time and memory). morvek-check is looked for only where
// CheckProgramPlaces says, so that a program planted in the working folder or on PATH never runs.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/check_handover.h"
#include "check/check_command.h"
#include "harvest/system_error.h"
#include "text/text.h"
#include "ui/console/console.h"

namespace {

const char kCheckCommand[] = "check";
const char kCheckFlag[] = "--check";
const char kVersionFlags[][10] = {"--version", "-V"};
const char kMissingForVersion[] = "not available: morvek-check is not installed beside morvek-cli";

bool HasArgument(int argc, char** argv, const char* wanted) {
  for (int i = 1; i < argc; ++i) {
    if (TextEquals(argv[i], wanted)) return true;
  }
  return false;
}

bool CheckWanted(int argc, char** argv) {
  if (argc >= 2 && TextEquals(argv[1], kCheckCommand)) return true;
  return HasArgument(argc, argv, kCheckFlag);
}

// --version is answered by morvek-check when it is there, which names its libraries too.
bool VersionWanted(int argc, char** argv) {
  for (const char* flag : kVersionFlags) {
    if (HasArgument(argc, argv, flag)) return true;
  }
  return false;
}

int SayMissing() {
  std::fputs(
      Concat(kProgramPrefix, "the stream check needs morvek-check, which is missing (looked ",
             CheckProgramWhere(), "); it is built and installed together with morvek-cli\n")
          .c_str(),
      stderr);
  return kExitCheckMissing;
}

}  // namespace

void HandOverToCheckProgram(int argc, char** argv) {
  const bool check = CheckWanted(argc, argv);
  if (!check && !VersionWanted(argc, argv)) return;
  for (const std::string& path : CheckProgramPlaces()) {
    const int error = RunInstead(path, argv);
    // Without the check, --version names what this program has.
    if (!check || IsMissingProgramError(error)) continue;
    std::fputs(
        Concat(kProgramPrefix, "cannot start ", path, ": ", SystemErrorText(error), "\n").c_str(),
        stderr);
    std::_Exit(kExitCheckMissing);
  }
  if (check) std::_Exit(SayMissing());
}

std::string CheckLibraryVersions() { return kMissingForVersion; }

// Reached only when the hand-over is not possible.
int RunCheckCommand(const std::vector<std::string>& /*args*/) { return SayMissing(); }

// The check's own options are never parsed here.
bool CheckOptionTakesValue(const std::string& /*name*/) { return false; }

bool TakeCheckOption(int /*argc*/, char** argv, int* i, std::vector<std::string>& args) {
  const std::string arg = argv[*i];
  if (!StartsWith(arg, kCheckOptionPrefix)) return false;
  args.push_back(arg);
  return true;
}

int RefuseCheckOptions(const std::vector<std::string>& /*args*/,
                       const std::vector<NamedOutput>& /*harvestOutputs*/) {
  return SayMissing();
}

int CheckHarvestedList(ChannelList& /*list*/, const std::vector<std::string>& /*args*/,
                       bool /*quiet*/) {
  return SayMissing();
}
