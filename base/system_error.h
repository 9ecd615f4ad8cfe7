// SPDX-License-Identifier: GPL-2.0-or-later
// The reason the system gives for a failed call, in words, for messages that say why.
#pragma once

#include <string>

// The error of the last failed system call on this thread: errno, or GetLastError on Windows.
int LastSystemError();
// The system's reason in words in UTF-8, e.g. "No such file or directory".
std::string SystemErrorText(int systemError);
