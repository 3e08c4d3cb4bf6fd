#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when a product header reaches Win32 (includes <windows.h> or a *_win.h header) and
# its name does not end in _win.h: native builds, the sanitizers and the fuzzers take every
# other header as pure. Also fails on a product header that tests _WIN32 (#if, #ifdef,
# #ifndef or #elif).
set -euo pipefail
cd "$(dirname "$0")/.."
bad=0
total=0
while IFS= read -r f; do
  total=$((total + 1))
  case "$f" in *_win.h) continue ;; esac
  if grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*(<windows\.h>|"[^"]*_win\.h")' "$f"; then
    echo "reaches Win32 but is not named *_win.h: $f"
    bad=$((bad + 1))
  fi
  if grep -qE '^[[:space:]]*#[[:space:]]*(el)?if(n?def)?([[:space:]]|\().*_WIN32' "$f"; then
    echo "holds #ifdef _WIN32 (split it into x.h and x_win.h): $f"
    bad=$((bad + 1))
  fi
done < <(git ls-files 'base/*.h' 'ipc/*.h' 'policy/*.h' 'registry/*.h' 'requests/*.h' 'sandbox/*.h' 'broker/*.h' \
  'tools/*.h' 'sdk/*.h' | LC_ALL=C sort)
if [ "$bad" -gt 0 ]; then
  echo "headers: $bad problems in $total product headers"
  exit 1
fi
echo "headers: $total product headers are pure or named *_win.h"
