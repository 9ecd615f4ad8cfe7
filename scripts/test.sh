#!/usr/bin/env bash
# Builds every configuration and runs every test: native, sanitized (ASan + UBSan), a short
# libFuzzer run of each fuzz target, and the Windows build under Wine (unit, fetch, console
# and GUI tests, with Xvfb for the window).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/lint.sh

jobs=$(nproc)
for preset in native asan; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done

# Each fuzz target for 30 seconds under libFuzzer (skipped, saying so, without clang).
scripts/fuzz.sh 30

echo "=== windows: build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
echo "=== windows: test under Wine"
WINEPREFIX=$(mktemp -d /tmp/morvek-wineprefix.XXXXXX)
export WINEPREFIX
trap 'WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
export WINEDEBUG=-all
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset windows
