// SPDX-License-Identifier: GPL-2.0-or-later
// morvek-cli: the program's entry. `check` and `serve` run their commands; any other command
// line is the harvest's.
#include <new>
#include <string>
#include <vector>

#include "check/check_command.h"
#include "cli/harvest_command.h"
#include "cli/program.h"
#include "serve/serve_command.h"
#include "text/text.h"

namespace {

// The program; main adds only the answer to a failed allocation.
int RunProgram(int argc, char** argv) {
  if (argc >= 2 && TextEquals(argv[1], kCheckCommand)) {
    HandOverToCheckProgram(argv, true);
    return RunCheckCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc >= 2 && TextEquals(argv[1], kServeCommand)) {
    HandOverToCheckProgram(argv, true);
    return RunServeCommand(std::vector<std::string>(argv + 2, argv + argc));
  }
  return RunHarvestCommand(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  UseBinaryStandardStreams();
  try {
    return RunProgram(argc, argv);
  } catch (const std::bad_alloc&) {
    // Every output replaces its file whole or not at all: those not yet replaced stay old.
    ShowConsoleLine(kOutOfMemory);
    return kExitWriteFailed;
  }
}
