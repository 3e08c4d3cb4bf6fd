#!/usr/bin/env bash
# Runs ctest of a Windows build tree under Wine with one wineserver kept for the whole
# run (each cold start of Wine costs about a second).
# Usage: scripts/wine-ctest.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=$1; shift
source "$(dirname "$0")/wine-env.sh" "$build"
wineserver -p
# Start Wine's own services now, so they do not inherit ctest's output pipe.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
rc=0
ctest --test-dir "$build" --output-on-failure --timeout 300 "$@" || rc=$?
wineserver -k || true
exit $rc
