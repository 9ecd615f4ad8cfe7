#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the fuzz targets with clang's libFuzzer (ASan + UBSan) and runs each one for SECONDS
# (default 30) from its seed corpus in fuzz/corpus/; new inputs go to a scratch folder.
# Skips, saying so, where clang's libFuzzer is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scratch=$(mktemp -d /tmp/morvek-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! command -v clang++ >/dev/null ||
   ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer - -o "$scratch/probe" 2>/dev/null; then
  echo "=== fuzz: SKIPPED: clang++ with libFuzzer not found (Debian: clang libclang-rt-14-dev)"
  exit 0
fi

echo "=== fuzz: build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
status=0
for source in fuzz/*_fuzzer.cpp; do
  name=$(basename "$source" .cpp)
  mkdir -p "$scratch/$name"
  echo "=== fuzz: $name for ${seconds}s"
  if build/fuzz/fuzz/"$name" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$scratch/" "$scratch/$name" "fuzz/corpus/$name" >"$scratch/$name.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|cov: ' "$scratch/$name.log" | tail -n 4
  else
    tail -n 40 "$scratch/$name.log"
    echo "=== fuzz: $name FAILED" >&2
    status=1
  fi
done
exit $status
