// SPDX-License-Identifier: GPL-2.0-or-later
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
#include "serve/serve_command.h"
#include "base/system_error.h"
#include "text/text.h"
#include "cli/program.h"

namespace {

const char kMissingForVersion[] = "not available: morvek-check is not installed beside morvek-cli";

int SayMissing() {
  std::fputs(
      Concat(kProgramPrefix, "the stream check needs morvek-check, which is missing (looked ",
             CheckProgramWhere(), "); it is built and installed together with morvek-cli\n")
          .c_str(),
      stderr);
  return kExitCheckMissing;
}

}  // namespace

void HandOverToCheckProgram(char** argv, bool check) {
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

int RefuseCheckOptions(const std::vector<GivenOption>& /*options*/,
                       const std::vector<NamedOutput>& /*harvestOutputs*/) {
  return SayMissing();
}

int CheckHarvestedList(ChannelList& /*list*/, const std::vector<GivenOption>& /*options*/,
                       bool /*quiet*/) {
  return SayMissing();
}

int RunServeCommand(const std::vector<std::string>& /*args*/) { return SayMissing(); }
