#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Project rules that the compiler does not check: no locale-dependent functions anywhere,
# no platform #ifdef inside the core library, and no thread_local in its shared files.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
banned='\b(tolower|toupper|isalpha|isdigit|isspace|isalnum|isupper|islower|isxdigit|ispunct|strtol|strtoul|strtoll|strtod|atoi|atol|atof|setlocale|stricmp|strcasecmp|_stricmp)\s*\('
if git grep -n -E "$banned" -- '*.cpp' '*.h'; then
  echo "lint: locale-dependent functions are not allowed; the text operations define their own byte rules" >&2
  status=1
fi
if git grep -n -E '#\s*if.*_WIN32|#\s*ifdef\s+_WIN32' -- base text fetch harvest; then
  echo "lint: platform code belongs in *_win.cpp / *_posix.cpp / *_curl.cpp files, not in #ifdefs" >&2
  status=1
fi
# MinGW's runtime now and then frees a thread_local object with a destructor wrongly when a
# thread ends; shared code that fetch workers run keeps its buffers in its own records.
if git grep -n -E '\bthread_local\b' -- base text fetch harvest ':!*_posix.cpp' ':!*_curl.cpp' ':!*_win.cpp'; then
  echo "lint: no thread_local in the shared core (buffers go in the caller's records)" >&2
  status=1
fi
# Every source file names its licence in its opening comment.
unlicensed=$(git ls-files -- '*.cpp' '*.h' '*.c' '*.py' '*.sh' '*.cmake' '*.js' '*.css' '*.html' \
               'CMakeLists.txt' '*/CMakeLists.txt' | while read -r f; do
  head -n 3 "$f" | grep -q 'SPDX-License-Identifier: GPL-2.0-or-later' || echo "$f"; done)
if [ -n "$unlicensed" ]; then
  echo "$unlicensed"
  echo "lint: each source file opens with the line SPDX-License-Identifier: GPL-2.0-or-later" >&2
  status=1
fi
[ $status -eq 0 ] && echo "lint: ok"
exit $status
