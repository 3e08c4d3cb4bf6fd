#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when a tracked source file does not name its licence in its first lines.
# Usage: scripts/check-spdx.sh [--fix]   (--fix adds the line where it is missing)
set -euo pipefail
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: Apache-2.0"
fix=0
[ "${1:-}" = --fix ] && fix=1
missing=0
total=0
while IFS= read -r f; do
  total=$((total + 1))
  head -n 3 "$f" | grep -qF "$tag" && continue
  if [ "$fix" -eq 0 ]; then
    echo "no licence line: $f"
    missing=$((missing + 1))
    continue
  fi
  case "$f" in
    *.cmake.in) line="# $tag" ;;
    *.cpp | *.h | *.c | *.h.in | *.rc) line="// $tag" ;;
    *.def) line="; $tag" ;;
    *.mc) line="; // $tag" ;;
    *) line="# $tag" ;;
  esac
  # A script's first line stays its #! line.
  if [ ! -s "$f" ]; then
    echo "$line" >"$f"
  elif head -n 1 "$f" | grep -q '^#!'; then
    sed -i "1a $line" "$f"
  else
    sed -i "1i $line" "$f"
  fi
done < <(git ls-files '*.cpp' '*.h' '*.c' '*.sh' '*.cmake' '*.cmake.in' 'CMakeLists.txt' '*/CMakeLists.txt' '*.rc' '*.mc' '*.def' '.ci/run' |
  LC_ALL=C sort -u)
if [ "$missing" -gt 0 ]; then
  echo "licence: $missing of $total files lack '$tag' (scripts/check-spdx.sh --fix adds it)"
  exit 1
fi
echo "licence: $total files carry '$tag'"
