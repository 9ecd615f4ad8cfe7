// SPDX-License-Identifier: GPL-2.0-or-later
// The platform's side of handing `check` and `--check` over to morvek-check, the build of
// morvek-cli that has the stream check (check_handover.cpp holds the rest).
#pragma once

#include <string>
#include <vector>

// Where morvek-check may be, in the order tried: beside this program (and on Linux in the
// libexec folder of its installation), never the working folder or PATH. Empty when this
// program's own folder cannot be told.
std::vector<std::string> CheckProgramPlaces();
// Those places as a message says where it looked, e.g. "at /usr/bin/morvek-check or ...".
std::string CheckProgramWhere();
// Runs the program at path with this program's command line in its place. When it starts,
// this process ends with its exit code and never returns; else the system's error.
int RunInstead(const std::string& path, char** argv);
// True for the errors that mean no program is at that place.
bool IsMissingProgramError(int systemError);
