#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds morvek-cli, harvests the bundled sample directory into out/channels.dat, and says
# where the file is and how many channels it holds. Only the build's packages are installed.
# The sample's index links an Atlantis page that is missing on purpose: its warning is
# expected.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --build
# A build of its own without the tests, which need the test packages.
cmake -S . -B build/sample -DCMAKE_BUILD_TYPE=Release -DMORVEK_TESTS=OFF >/dev/null
cmake --build build/sample -j "$(nproc)" --target morvek-cli
mkdir -p out
./build/sample/morvek-cli --site "file://$PWD/sample-site/" --output out/channels.dat
if [ -f out/channels.dat ]; then
  echo "Wrote $PWD/out/channels.dat: $(grep -c $'\r$' out/channels.dat) channels"
else
  echo "No channel file was written" >&2
  exit 1
fi
