#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the benchmarks: the codec natively (optimised build), the file requests through a
# real broker under Wine, x64 and then x86 (the latter in the WoW64 root). Each reports
# against a baseline measured in the same run: for the broker, the best bare transfer of the
# same bytes (a bare server in a process of its own, large reads, the reply in large
# writes). Ends with every target, met or missed, with its figure, for each architecture.
# TARNVEL_BENCH_X86=0 skips the x86 broker.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench -j "$(nproc)"
for b in build/native-bench/bench/bench_*; do [ -x "$b" ] && "$b"; done
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$(nproc)"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "==== x64 broker"
scripts/bench-wine.sh build/win64 | tee "$out/x64"
x86_label=
if [ "${TARNVEL_BENCH_X86:-1}" != 0 ]; then
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j "$(nproc)"
  scripts/wow64-root.sh make
  if [ "$(scripts/wow64-root.sh way 2>/dev/null)" = emulated ]; then
    # This machine runs no 32-bit code: the broker's 32-bit code runs under qemu-i386, so its
    # figures measure the emulator as much as the broker.
    x86_label="[x86 emulated] "
    echo "==== x86 broker (WoW64, EMULATED by qemu-i386: not comparable to native x86 figures)"
  else
    echo "==== x86 broker (WoW64, native)"
  fi
  scripts/wow64-root.sh run scripts/bench-wine.sh build/win32 2>&1 | sed -u "s/^/$x86_label/" | tee "$out/x86"
fi
echo
echo "==== every target, met or missed, with its figure"
grep -h '^target x64:' "$out/x64" || echo "x64: no figures (the benchmark failed)"
if [ "${TARNVEL_BENCH_X86:-1}" != 0 ]; then
  grep -h 'target x86:' "$out/x86" || echo "x86: no figures (the benchmark failed)"
else
  echo "x86: skipped (TARNVEL_BENCH_X86=0)"
fi
