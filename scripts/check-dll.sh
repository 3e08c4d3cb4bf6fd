#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks a built TarnvelHost.dll: its export table holds exactly the names of
# sdk/TarnvelHost.def (the C functions, nothing else), it imports system DLLs only (its C and
# C++ runtimes are linked in), and its VERSIONINFO carries the project version.
# Usage: scripts/check-dll.sh DLL...
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
allowed='^(kernel32|user32|advapi32|msvcrt|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
want=$(sed -n '/^EXPORTS/,$p' "$root/sdk/TarnvelHost.def" | tail -n +2 | sed 's/;.*//' | awk 'NF {print $1}' | LC_ALL=C sort)
version=$(sed -nE 's/^project\(TarnvelBroker VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
rc=0
for dll in "$@"; do
  if [ ! -f "$dll" ]; then echo "FAIL $dll: missing"; rc=1; continue; fi
  dump=$(x86_64-w64-mingw32-objdump -p "$dll" 2>/dev/null || i686-w64-mingw32-objdump -p "$dll")
  have=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -nE 's/^\s+\[\s*[0-9]+\] (.+)$/\1/p' |
    LC_ALL=C sort)
  if [ "$have" != "$want" ]; then
    echo "FAIL $dll: exports differ from TarnvelHost.def:"
    diff <(echo "$want") <(echo "$have") | sed 's/^/  /'
    rc=1
  fi
  dlls=$(grep -E 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)
  for d in $dlls; do
    if ! grep -Eq "$allowed" <<<"$d"; then echo "FAIL $dll: imports $d"; rc=1; fi
  done
  info=$(x86_64-w64-mingw32-strings -el "$dll")
  if ! grep -A1 -x FileVersion <<<"$info" | grep -qx "$version"; then
    echo "FAIL $dll: no FileVersion $version in its VERSIONINFO"; rc=1
  fi
  [ $rc -eq 0 ] && echo "ok $dll: exports the $(wc -l <<<"$want") functions of TarnvelHost.def only; imports: $(echo $dlls); version $version"
done
exit $rc
