#!/usr/bin/env bash
# Builds morvek-cli and harvests the bundled sample directory into out/channels.dat.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target morvek-cli
mkdir -p out
./build/native/morvek-cli --site "file://$PWD/sample-site/" --output out/channels.dat
