#!/usr/bin/env bash
# Builds morvek-cli, harvests the bundled sample directory into out/channels.dat, and says
# where the file is and how many channels it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target morvek-cli
mkdir -p out
./build/native/morvek-cli --site "file://$PWD/sample-site/" --output out/channels.dat
if [ -f out/channels.dat ]; then
  echo "Wrote $PWD/out/channels.dat: $(grep -c $'\r$' out/channels.dat) channels"
else
  echo "No channel file was written" >&2
  exit 1
fi
