#!/usr/bin/env bash
# Runs the benchmarks: the codec natively (optimised build), the file requests through a
# real broker under Wine, x64 and then x86 (the latter in the WoW64 root). Each reports
# against a baseline measured in the same run. TARNVEL_BENCH_X86=0 skips the x86 broker.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench -j "$(nproc)"
for b in build/native-bench/bench/bench_*; do [ -x "$b" ] && "$b"; done
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)"
echo "==== x64 broker"
scripts/bench-wine.sh build/win64
if [ "${TARNVEL_BENCH_X86:-1}" != 0 ]; then
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j "$(nproc)"
  echo "==== x86 broker (WoW64)"
  scripts/wow64-root.sh make
  scripts/wow64-root.sh run scripts/bench-wine.sh build/win32
fi
