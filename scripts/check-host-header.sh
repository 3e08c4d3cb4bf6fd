#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The host SDK's public headers compile cleanly wherever a host may include them: the C header
# as C99 and C11 and as C++11 and C++17 with MinGW's compilers of both widths, and as C99
# with clang for the MSVC ABI (freestanding: no MSVC headers here); the C++ layer as C++17.
# All with every usual warning as an error.
# Usage: scripts/check-host-header.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#include <tarnvel/host.h>\n' >"$work/c.c"
printf '#include <tarnvel/host.h>\n' >"$work/cpp.cpp"
printf '#include <tarnvel/host_client.h>\nint main() { tarnvel::host::Broker b; return b.Ping().ok() ? 0 : 1; }\n' >"$work/layer.cpp"
warn="-Wall -Wextra -Wpedantic -Werror"
rc=0
run() {
  if "$@" >"$work/out" 2>&1; then
    echo "ok: $1 $2 $(basename "${@: -1}")"
  else
    echo "FAIL: $*"
    sed 's/^/  /' "$work/out"
    rc=1
  fi
}
for cc in x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc; do
  for std in c99 c11; do run $cc -std=$std $warn -fsyntax-only -I "$root/include" "$work/c.c"; done
done
for cxx in x86_64-w64-mingw32-g++ i686-w64-mingw32-g++; do
  for std in c++11 c++17; do run $cxx -std=$std $warn -fsyntax-only -I "$root/include" "$work/cpp.cpp"; done
  run $cxx -std=c++17 $warn -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -fsyntax-only \
    -I "$root/include" "$work/layer.cpp"
done
for target in x86_64-pc-windows-msvc i686-pc-windows-msvc; do
  run clang --target=$target -std=c99 -ffreestanding $warn -fsyntax-only -I "$root/include" "$work/c.c"
done
[ $rc -eq 0 ] && echo "host headers: compile as C99/C11, C++11/C++17 (MinGW) and C99 (clang, MSVC ABI) without warnings"
exit $rc
