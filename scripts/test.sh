#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every test: native unit tests under AddressSanitizer/UBSan, the Win32 and end-to-end
# tests of both Windows targets under Wine (x64 with the machine's Wine, x86 under WoW64 in a
# trixie root made once and reused, natively or by emulation, whichever this machine allows),
# a build of the benchmarks, and a bounded run of each fuzz target; also the release zip's
# checks (contents, reproducibility, signing), the licence lines and the header names.
# Installs what it needs first. Ends with one line 'N passed, N failed'.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"
passed=0
failed=0
# Each step says when it started, counted from the start of the command.
step() { echo; echo "==== [$((SECONDS / 60))m$((SECONDS % 60))s] $*"; }
# Adds the counts of a ctest log ("N% tests passed, F tests failed out of T").
count_ctest() {
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1) || true
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
}

step "format: tracked C++ files follow .clang-format"
if scripts/check-format.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

step "licence: every tracked source file names its licence"
if scripts/check-spdx.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

step "headers: a product header that reaches Win32 is named *_win.h"
if scripts/check-headers.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

# Both Windows targets first: the native suite also checks the shape of both exes.
step "win64: configure and build"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"

step "win32: configure and build"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

step "package: release zip; C++ and C examples built against it run a session (x64, Wine); MSVC-ABI host against its .lib"
if scripts/package.sh >"$logs/package.log" 2>&1 &&
   scripts/check-package.sh build/package/TarnvelBroker-*.zip 2>&1 | tee "$logs/check-package.log" &&
   grep -q '^check-package: C++ and C examples built' "$logs/check-package.log"; then
  tail -n 2 "$logs/package.log"
  passed=$((passed + 1))
else
  tail -n 30 "$logs/package.log"
  echo "package: FAILED"
  failed=$((failed + 1))
fi

step "release: two builds in different folders give one zip; signed with a throwaway certificate, it verifies and runs"
release_start=$SECONDS
if scripts/check-release.sh build/package/TarnvelBroker-*.zip >"$logs/check-release.log" 2>&1; then
  grep '^check-release:' "$logs/check-release.log"
  echo "release checks took $((SECONDS - release_start)) s"
  passed=$((passed + 1))
else
  tail -n 30 "$logs/check-release.log"
  echo "release: FAILED"
  failed=$((failed + 1))
fi

step "native: configure and build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

step "native-bench: build the benchmarks"
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench -j "$jobs"

step "native: unit tests"
ctest --test-dir build/native --output-on-failure --timeout 300 2>&1 | tee "$logs/native.log" || true
count_ctest "$logs/native.log"

step "win64: Win32 and end-to-end tests under Wine"
scripts/wine-ctest.sh build/win64 2>&1 | tee "$logs/wine.log" || true
count_ctest "$logs/wine.log"

step "win32: Win32 and end-to-end tests under WoW64"
# A root that cannot be made (no root rights, no mirror) fails this layer loudly: the x86
# exe is shipped, so its tests never pass by being skipped. The root says which way 32-bit
# code runs here (natively, or under emulation where the kernel runs none) and why.
root_start=$SECONDS
if scripts/wow64-root.sh make; then
  echo "wow64 root ready in $((SECONDS - root_start)) s"
  x86_start=$SECONDS
  scripts/wow64-root.sh run scripts/wine-ctest.sh build/win32 2>&1 | tee "$logs/wow64.log" || true
  echo "win32: x86 layer ran $(scripts/wow64-root.sh way 2>/dev/null) in $((SECONDS - x86_start)) s"
  count_ctest "$logs/wow64.log"
else
  echo "win32: the x86 runtime layer is not available on this machine; its tests did not run" | tee "$logs/wow64.log"
  failed=$((failed + 1))
fi

# The fault layer of each target: a full disk (a size-limited tmpfs, mounted as root in a
# namespace of its own) and a broker ended half-way, under every act that replaces a file.
# Like the x86 layer, it fails where it cannot mount; it never passes by being skipped.
fault_step() {
  local name=$1; shift
  # The layer's closing line comes from a Windows program, so it ends in CR LF.
  if "$@" 2>&1 | tee "$logs/faults-$name.log" &&
     tr -d '\r' <"$logs/faults-$name.log" | grep -q '^fault layer: .* 0 failures$'; then
    passed=$((passed + 1))
  else
    echo "faults $name: FAILED"
    failed=$((failed + 1))
  fi
}
step "faults x64: a full disk and a broker ended half-way leave every destination old or new"
fault_step x64 scripts/fault-test.sh build/win64
step "faults x86: the same inside the WoW64 root"
fault_step x86 scripts/wow64-root.sh run scripts/fault-test.sh build/win32

step "fuzz: bounded runs"
if scripts/fuzz.sh "${FUZZ_SECONDS:-60}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
