// The Linux morvek-cli without the stream check: `check` and `--check` run the same command
// line in morvek-check, the build of morvek-cli that has the check, beside this program. So a
// harvest never loads the media libraries (their start-up time and memory).
#include <unistd.h>

#include <cstdio>
#include <string>

#include "check/check_command.h"
#include "harvest/system_error.h"
#include "text/text.h"

namespace {

const char kCheckProgram[] = "morvek-check";
const char kCheckCommand[] = "check";
const char kCheckFlag[] = "--check";
const char kSelfPath[] = "/proc/self/exe";
const int kExitUsage = 2;
const int kPathSize = 4096;

// morvek-check in the folder of this program.
std::string CheckProgramPath() {
  std::string path = SpaceText(kPathSize);
  ssize_t length = readlink(kSelfPath, &path[0], path.size());
  if (length <= 0 || length >= kPathSize) return kCheckProgram;
  path.resize(static_cast<size_t>(length));
  return Concat(path.substr(0, path.rfind('/') + 1), kCheckProgram);
}

bool CheckWanted(int argc, char** argv) {
  if (argc >= 2 && TextEquals(argv[1], kCheckCommand)) return true;
  for (int i = 1; i < argc; ++i) {
    if (TextEquals(argv[i], kCheckFlag)) return true;
  }
  return false;
}

int SayNotStarted() {
  std::fputs(Concat("morvek-cli: the stream check needs ", CheckProgramPath(), " beside it\n")
                 .c_str(),
             stderr);
  return kExitUsage;
}

}  // namespace

void HandOverToCheckProgram(int argc, char** argv) {
  if (!CheckWanted(argc, argv)) return;
  const std::string path = CheckProgramPath();
  execv(path.c_str(), argv);
  const int error = LastSystemError();
  std::fputs(Concat("morvek-cli: cannot start ", path, ": ", SystemErrorText(error), "\n").c_str(),
             stderr);
  _exit(kExitUsage);
}

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
