// SPDX-License-Identifier: GPL-2.0-or-later
// The hand-over to morvek-check on Linux: execv in place of this process, from beside this
// program or the libexec folder of its installation.
#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/check_handover.h"
#include "base/system_error.h"
#include "text/text.h"

namespace {

const char kCheckProgram[] = "morvek-check";
const char kInstalledFolder[] = "../libexec/morvek/";  // from the folder of morvek-cli
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

}  // namespace

std::vector<std::string> CheckProgramPlaces() {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return {};
  return {Concat(folder, kCheckProgram), Concat(folder, kInstalledFolder, kCheckProgram)};
}

std::string CheckProgramWhere() {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return "beside morvek-cli";
  return Concat("at ", folder, kCheckProgram, " or ", folder, kInstalledFolder);
}

int RunInstead(const std::string& path, char** argv) {
  execv(path.c_str(), argv);
  return LastSystemError();
}

bool IsMissingProgramError(int systemError) {
  return systemError == ENOENT || systemError == ENOTDIR;
}
