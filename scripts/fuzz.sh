#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target of the native build for a bounded time, split evenly, from its
# seed corpus in fuzz/corpus/<target> (new inputs go to a scratch copy, not the repo).
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
targets=(build/native/fuzz/fuzz_*)
[ -e "${targets[0]}" ] || { echo "fuzz: no targets built"; exit 1; }
per=$(( total / ${#targets[@]} )); (( per < 5 )) && per=5
rc=0
for t in "${targets[@]}"; do
  name=$(basename "$t")
  work=build/native/fuzz-work/$name
  rm -rf "$work"; mkdir -p "$work"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "fuzz: $name for ${per}s"
  extra=()
  # Messages longer than the broker's first few reads: its small one and the first that grow.
  [ "$name" = fuzz_decoder ] && extra=(-max_len=40000)
  if ! "$t" -max_total_time="$per" -print_final_stats=0 -artifact_prefix="$work/" "${extra[@]}" "$work" \
       >"$work.log" 2>&1; then
    echo "fuzz: $name FAILED"; tail -n 40 "$work.log"; rc=1
  else
    grep -E '^#[0-9]+.*DONE' "$work.log" | tail -n 1 || true
  fi
done
exit $rc
