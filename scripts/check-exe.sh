#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks a built broker exe: GUI subsystem, an embedded manifest asking for asInvoker,
# and imports of system DLLs only (the C++ runtime is linked statically).
# Usage: scripts/check-exe.sh EXE...
set -uo pipefail
allowed='^(kernel32|user32|advapi32|shell32|ole32|wininet|msvcrt|ws2_32|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
rc=0
for exe in "$@"; do
  if [ ! -f "$exe" ]; then echo "FAIL $exe: missing"; rc=1; continue; fi
  dump=$(x86_64-w64-mingw32-objdump -p "$exe" 2>/dev/null || i686-w64-mingw32-objdump -p "$exe")
  subsystem=$(grep -E '^Subsystem' <<<"$dump" | awk '{print $2}')
  if [ "$subsystem" != "00000002" ]; then echo "FAIL $exe: subsystem $subsystem, want 2 (Windows GUI)"; rc=1; fi
  dlls=$(grep -E 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)
  [ -n "$dlls" ] || { echo "FAIL $exe: no imports found"; rc=1; }
  for dll in $dlls; do
    if ! grep -Eq "$allowed" <<<"$dll"; then echo "FAIL $exe: imports $dll"; rc=1; fi
  done
  if ! LC_ALL=C grep -aq 'requestedExecutionLevel level="asInvoker"' "$exe"; then
    echo "FAIL $exe: no asInvoker manifest"; rc=1
  fi
  # VERSIONINFO: file and product version from the project version.
  version=$(sed -nE 's/^project\(TarnvelBroker VERSION ([0-9.]+).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
  info=$(x86_64-w64-mingw32-strings -el "$exe")
  for field in FileVersion ProductVersion; do
    if ! grep -A1 -x "$field" <<<"$info" | grep -qx "$version"; then
      echo "FAIL $exe: no $field $version in its VERSIONINFO"; rc=1
    fi
  done
  grep -qx ProductName <<<"$info" && grep -qx FileDescription <<<"$info" ||
    { echo "FAIL $exe: VERSIONINFO lacks ProductName or FileDescription"; rc=1; }
  [ $rc -eq 0 ] && echo "ok $exe: GUI subsystem, asInvoker manifest, imports: $(echo $dlls), version $version"
done
exit $rc
