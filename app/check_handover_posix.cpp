// The Linux morvek-cli without the stream check: `check` and `--check` run the same command
// line in morvek-check, the build of morvek-cli that has the check, beside this program or
// in ../libexec/morvek/ from it. So a harvest never loads the media libraries (their start-up
// time and memory).
#include <unistd.h>

#include <cstdio>
#include <string>

#include "check/check_command.h"
#include "harvest/system_error.h"
#include "text/text.h"

namespace {

const char kCheckProgram[] = "morvek-check";
// Where an installed morvek-cli finds it: bin/../libexec/morvek/.
const char kInstalledCheckFolder[] = "../libexec/morvek/";
const char kCheckCommand[] = "check";
const char kCheckFlag[] = "--check";
const char kVersionFlags[][10] = {"--version", "-V"};
const char kSelfPath[] = "/proc/self/exe";
const char kNotFound[] =
    "morvek-cli: the stream check needs morvek-check beside morvek-cli or in "
    "../libexec/morvek/ from its folder\n";
const char kNotFoundVersion[] = "not available: morvek-check is not installed beside morvek-cli";
const int kExitUsage = 2;
const int kPathSize = 4096;

// The folder of this program, ending in '/'; empty when it cannot be read.
std::string OwnFolder() {
  std::string path = SpaceText(kPathSize);
  ssize_t length = readlink(kSelfPath, &path[0], path.size());
  if (length <= 0 || length >= kPathSize) return std::string();
  path.resize(static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

// morvek-check beside this program, else where the install puts it; empty when neither is
// there. Never the working directory or PATH, which could hold anybody's program.
std::string CheckProgramPath() {
  const std::string folder = OwnFolder();
  if (folder.empty()) return std::string();
  for (const char* relative : {"", kInstalledCheckFolder}) {
    const std::string path = Concat(folder, relative, kCheckProgram);
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return std::string();
}

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

int SayNotStarted() {
  std::fputs(kNotFound, stderr);
  return kExitUsage;
}

}  // namespace

void HandOverToCheckProgram(int argc, char** argv) {
  const bool check = CheckWanted(argc, argv);
  if (!check && !VersionWanted(argc, argv)) return;
  const std::string path = CheckProgramPath();
  if (path.empty()) {
    if (!check) return;
    _exit(SayNotStarted());
  }
  execv(path.c_str(), argv);
  if (!check) return;
  const int error = LastSystemError();
  std::fputs(Concat("morvek-cli: cannot start ", path, ": ", SystemErrorText(error), "\n").c_str(),
             stderr);
  _exit(kExitUsage);
}

std::string CheckLibraryVersions() { return kNotFoundVersion; }

// Reached only when the hand-over is not possible.
int RunCheckCommand(const std::vector<std::string>& /*args*/) { return SayNotStarted(); }

bool TakeCheckOption(int /*argc*/, char** argv, int* i, std::vector<std::string>& args) {
  const std::string arg = argv[*i];
  if (!StartsWith(arg, kCheckOptionPrefix)) return false;
  args.push_back(arg);
  return true;
}

int RefuseCheckOptions(const std::vector<std::string>& /*args*/, const std::string& /*path*/) {
  return SayNotStarted();
}

int CheckHarvestedList(ChannelList& /*list*/, const std::vector<std::string>& /*args*/,
                       bool /*quiet*/) {
  return SayNotStarted();
}
