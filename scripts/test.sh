#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds every configuration and runs every test: native, sanitized (ASan + UBSan), the
# threaded tests under ThreadSanitizer, a short libFuzzer run of each fuzz target, the
# Windows build under Wine (unit, fetch, console and GUI tests, with Xvfb for the window),
# and the packages made of the native and Windows builds.
#   scripts/test.sh [--quick]
# --quick: the native build and the tests that need no Wine, sanitizer or browser, for the inner
# loop while working (a few minutes once the build is there). CI runs the full set.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  --quick) quick=1 ;;
  "") quick=0 ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac
scripts/install-deps.sh
scripts/lint.sh

jobs=$(nproc)
if [ $quick -eq 1 ]; then
  echo "=== native: build"
  cmake --preset native >/dev/null
  cmake --build --preset native -j "$jobs"
  echo "=== native: test (quick: without the browser tests)"
  ctest --preset native -j "$jobs" -LE browser
  exit 0
fi
for preset in native asan; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done

# The threaded tests (fetch ahead, update run, console, check, serve) under ThreadSanitizer; the
# preset's filter picks them.
echo "=== tsan: build and threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

# Each fuzz target for 30 seconds under libFuzzer (skipped, saying so, without clang).
scripts/fuzz.sh 30

echo "=== windows: the check's libraries, cross-built from Debian's sources"
scripts/build-win-deps.sh "$jobs"
echo "=== windows: build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
echo "=== windows: test under Wine"
WINEPREFIX=$(mktemp -d /tmp/morvek-wineprefix.XXXXXX)
export WINEPREFIX
# wineserver -k returns before the server has written the registry out; -w waits for its end,
# so that removing the prefix does not race with those last writes.
wineserver=/usr/lib/wine/wineserver
trap 'WINEPREFIX="$WINEPREFIX" $wineserver -k 2>/dev/null || true
      WINEPREFIX="$WINEPREFIX" $wineserver -w 2>/dev/null || true
      rm -rf "$WINEPREFIX" || true' EXIT
export WINEDEBUG=-all
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset windows

# The packages of both builds, unpacked and run: the .deb from a scratch root, the zip under
# Wine from a folder with a space in its name.
echo "=== packages"
scripts/package.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/native/CMakeCache.txt)
python3 tests/install/install_test.py --case deb --build build/native \
  --package "build/packages/morvek_${version}_amd64.deb"
xvfb-run -a -s "-screen 0 1280x1024x24" python3 tests/install/install_test.py --case zip \
  --build build/windows --package "build/packages/morvek-${version}-win64.zip"
