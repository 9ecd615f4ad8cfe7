// SPDX-License-Identifier: GPL-2.0-or-later
// System error texts on POSIX: errno and strerror.
#include <errno.h>
#include <string.h>

#include "base/system_error.h"

int LastSystemError() { return errno; }

std::string SystemErrorText(int systemError) { return strerror(systemError); }
