#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs ctest of a Windows build tree under Wine with one wineserver kept for the whole
# run (each cold start of Wine costs about a second).
# Usage: scripts/wine-ctest.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=$1; shift
source "$(dirname "$0")/wine-env.sh" "$build"
# A wineserver already running for this prefix (from a run by hand) is used as it is and
# left running; only one started here is stopped at the end.
started=0
if wineserver -p 2>/dev/null; then started=1; fi
# Start Wine's own services now, so they do not inherit ctest's output pipe.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
rc=0
ctest --test-dir "$build" --output-on-failure --timeout 300 "$@" || rc=$?
[ "$started" -eq 1 ] && { wineserver -k || true; }
exit $rc
