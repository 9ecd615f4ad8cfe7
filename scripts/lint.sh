#!/usr/bin/env bash
# Project rules that the compiler does not check: no locale-dependent functions anywhere,
# and no platform #ifdef inside the core library.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
banned='\b(tolower|toupper|isalpha|isdigit|isspace|isalnum|isupper|islower|isxdigit|ispunct|strtol|strtoul|strtoll|strtod|atoi|atol|atof|setlocale|stricmp|strcasecmp|_stricmp)\s*\('
if git grep -n -E "$banned" -- '*.cpp' '*.h'; then
  echo "lint: locale-dependent functions are not allowed; the text operations define their own byte rules" >&2
  status=1
fi
if git grep -n -E '#\s*if.*_WIN32|#\s*ifdef\s+_WIN32' -- text fetch harvest; then
  echo "lint: platform code belongs in *_win.cpp / *_posix.cpp / *_curl.cpp files, not in #ifdefs" >&2
  status=1
fi
[ $status -eq 0 ] && echo "lint: ok"
exit $status
