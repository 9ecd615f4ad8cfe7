// SPDX-License-Identifier: GPL-2.0-or-later
// `morvek-cli [OPTION]...`: the harvest of the directory site, with --check after it.
#pragma once

// The whole harvest command; argv is the program's command line, which a hand-over to
// morvek-check runs again. Returns the exit code.
int RunHarvestCommand(int argc, char** argv);
