#!/usr/bin/env bash
# Runs the benchmarks: the codec natively (optimised build), the file requests through a
# real broker under Wine. Each reports against a baseline measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench -j "$(nproc)"
for b in build/native-bench/bench/bench_*; do [ -x "$b" ] && "$b"; done
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)"
source scripts/wine-env.sh build/win64
for b in build/win64/bench/bench_*.exe; do [ -f "$b" ] && wine "$b"; done
wineserver -k || true
