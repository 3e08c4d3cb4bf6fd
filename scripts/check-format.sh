#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when a tracked C++ file differs from what .clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
if ! out=$(clang-format --dry-run --Werror $files 2>&1); then
  echo "$out" | grep -E '^[^ ].*(warning|error):' | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
  echo "format: run clang-format -i on the files above"
  exit 1
fi
echo "format: $(wc -w <<<"$files") files formatted"
