#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes the release packages under build/packages/: morvek_VERSION_amd64.deb for Debian 12
# (morvek-cli, morvek-check, the manual, completions) and morvek-VERSION-win64.zip (morvek.exe,
# morvek-cli.exe, morvek-check.exe, README.txt), from the builds of the native and windows presets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
rm -rf build/packages
echo "=== package: Debian"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target morvek-cli morvek-check morvek_compressed_docs
(cd build/native && cpack -G DEB >/dev/null)
echo "=== package: Windows"
scripts/build-win-deps.sh "$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target morvek morvek-cli morvek-check
(cd build/windows && cpack -G ZIP >/dev/null)
rm -rf build/packages/_CPack_Packages
ls -l build/packages
