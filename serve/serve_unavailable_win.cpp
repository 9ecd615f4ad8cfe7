// SPDX-License-Identifier: GPL-2.0-or-later
// The Windows build has no serve yet: it says so.
#include <cstdio>

#include "serve/serve_command.h"
#include "cli/program.h"

int RunServeCommand(const std::vector<std::string>& /*args*/) {
  std::fputs("morvek-cli: serve is not available in the Windows build\n", stderr);
  return kExitUsage;
}
