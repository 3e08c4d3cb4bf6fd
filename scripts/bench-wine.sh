#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every benchmark of one Windows build tree under Wine, in that tree's prefix.
# Usage: scripts/bench-wine.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine-env.sh "$1"
for b in "$1"/bench/bench_*.exe; do [ -f "$b" ] && wine "$b"; done
wineserver -k || true
