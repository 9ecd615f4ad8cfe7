// The Linux morvek-cli without the stream check: `check` and `--check` run the same command
// line in morvek-check, the build of morvek-cli that has the check. So a harvest never loads
// the media libraries (their start-up time and memory). morvek-check is looked for only
// beside this program and in the libexec folder of its installation, never in the working
// folder or on PATH, so that a program planted there never runs.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check/check_command.h"
#include "harvest/system_error.h"
#include "text/text.h"
#include "ui/console/console.h"

namespace {

const char kCheckProgram[] = "morvek-check";
const char kInstalledFolder[] = "../libexec/morvek/";  // from the folder of morvek-cli
const char kMissingForVersion[] = "not available: morvek-check is not installed beside morvek-cli";
const char kSelfPath[] = "/proc/self/exe";
const int kPathSize = 4096;

// The folder of this program with its final "/"; empty when it cannot be told.
std::string ProgramFolder() {
  std::string path = SpaceText(kPathSize);
  const ssize_t length = readlink(kSelfPath, &path[0], path.size());
  if (length <= 0 || length >= kPathSize) return std::string();
  path.resize(static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

// Where morvek-check may be, in the order tried.
std::vector<std::string> CheckProgramPlaces(const std::string& folder) {
  if (folder.empty()) return {};
  return {Concat(folder, kCheckProgram), Concat(folder, kInstalledFolder, kCheckProgram)};
}

int SayMissing() {
  const std::string folder = ProgramFolder();
  std::string where = "beside morvek-cli";
  if (!folder.empty()) where = Concat("at ", folder, kCheckProgram, " or ", folder, kInstalledFolder);
  std::fputs(Concat(kProgramPrefix, "the stream check needs ", kCheckProgram,
                    ", which is missing (looked ", where,
                    "); it is built and installed together with morvek-cli\n")
                 .c_str(),
             stderr);
  return kExitCheckMissing;
}

}  // namespace

void HandOverToCheckProgram(char** argv, bool check) {
  for (const std::string& path : CheckProgramPlaces(ProgramFolder())) {
    execv(path.c_str(), argv);
    const int error = LastSystemError();
    // Without the check, --version names what this program has.
    if (!check) continue;
    if (error == ENOENT || error == ENOTDIR) continue;
    std::fputs(
        Concat(kProgramPrefix, "cannot start ", path, ": ", SystemErrorText(error), "\n").c_str(),
        stderr);
    _exit(kExitCheckMissing);
  }
  if (check) _exit(SayMissing());
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
