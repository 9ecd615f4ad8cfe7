// SPDX-License-Identifier: GPL-2.0-or-later
// The rules for a command's outputs: no two on one file or on stdout, and only files that
// may be replaced.
#pragma once

#include <string>
#include <vector>

// An output that a command line asks for: the option that names it and its path ("-": stdout).
struct NamedOutput {
  std::string option;
  std::string path;
};
// Why these outputs cannot all be written: two of them name one file (the same device and
// inode when it exists, the same resolved path when it does not), both go to stdout, or one
// goes to stdout while stdout is the file another names. One line naming both options; empty
// when they can.
std::string OutputClash(const std::vector<NamedOutput>& outputs);
// True when both paths name one file, also when it does not exist yet.
bool SameFile(const std::string& a, const std::string& b);
// Why one of outputs (stdout aside) cannot be written, looked at before any work begins: it is
// not a regular file that may be replaced (a folder, a device, a pipe, read-only) or its
// folder is missing. One line "OPTION PATH: reason"; empty when all may be written. A failure
// when the file is written later stays possible.
std::string OutputTargetRefusal(const std::vector<NamedOutput>& outputs);

// True for the system's null device (/dev/null, NUL): an output there writes nothing.
bool IsNullDevice(const std::string& path);
// True when standard output is the file at path (the same device and inode, or volume and
// file index), as after "> path" in a shell.
bool StdoutIsFile(const std::string& path);
