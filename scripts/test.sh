#!/usr/bin/env bash
# Runs every test: native unit tests under AddressSanitizer/UBSan, the Win32 and end-to-end
# tests under Wine (x64), a build of the x86 target and of the benchmarks, and a bounded
# run of each fuzz target. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
failed=0
step() { echo; echo "==== $*"; }

# Both Windows targets first: the native suite also checks the shape of both exes.
step "win64: configure and build"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"

step "win32: configure and build (i386 programs cannot run here)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

step "native: configure and build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
step "native: unit tests"
ctest --test-dir build/native --output-on-failure --timeout 300 || failed=1

step "win64: Win32 and end-to-end tests under Wine"
scripts/wine-ctest.sh build/win64 || failed=1

step "native-bench: build the benchmarks"
cmake --preset native-bench >/dev/null
cmake --build --preset native-bench -j "$jobs"

step "fuzz: bounded runs"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}" || failed=1

if [ "$failed" -ne 0 ]; then
  echo "test.sh: FAILED"
  exit 1
fi
echo "test.sh: all passed"
