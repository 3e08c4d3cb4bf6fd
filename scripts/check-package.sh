#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks a release zip as an integrator uses it: unpacks it, verifies SHA256SUMS, the exes and
# both TarnvelHost.dll (export table, imports), builds examples/host-session (C++) and
# examples/host-session-c (C) against the unpacked SDK (x64, MinGW) with find_package and runs
# one session of each against the packaged x64 broker under Wine (the win64 tree's prefix);
# then links an MSVC-ABI host (clang and lld-link, no MSVC) against the shipped TarnvelHost.lib
# of each architecture and runs the x64 one.
# Usage: scripts/check-package.sh ZIP
set -euo pipefail
cd "$(dirname "$0")/.."
zip=$1
work=build/package-check
rm -rf "$work"
mkdir -p "$work"
python3 -m zipfile -e "$zip" "$work/unpacked"
sdk=$(ls -d "$work"/unpacked/TarnvelBroker-*)
(cd "$sdk" && sha256sum --quiet -c SHA256SUMS)
# Notices and bill of materials against the build trees' linker maps (and a release leaving one out).
scripts/check-notices.sh "$sdk"
for arch in x64 x86; do
  for f in bin/$arch/TarnvelBroker.exe bin/$arch/tarnvel-host.exe bin/$arch/TarnvelHost.dll \
           lib/$arch/libTarnvelHost.dll.a lib/$arch/TarnvelHost.lib; do
    [ -f "$sdk/$f" ] || { echo "check-package: $f missing" >&2; exit 1; }
  done
done
for f in include/tarnvel/host.h include/tarnvel/host_client.h include/tarnvel/protocol.h lib/TarnvelHost.def \
         lib/cmake/TarnvelBroker/TarnvelBrokerConfig.cmake lib/cmake/TarnvelBroker/TarnvelBrokerConfigVersion.cmake \
         doc/protocol.md doc/host-sdk.md LICENSE CHANGELOG.md policies/TarnvelBroker.admx \
         policies/en-US/TarnvelBroker.adml; do
  [ -f "$sdk/$f" ] || { echo "check-package: $f missing" >&2; exit 1; }
done
# The administrative templates as Group Policy tools read them: well-formed XML.
python3 -c 'import sys, xml.etree.ElementTree as E; [E.parse(f) for f in sys.argv[1:]]' \
  "$sdk/policies/TarnvelBroker.admx" "$sdk/policies/en-US/TarnvelBroker.adml"
# Nothing internal travels: no static library of the broker's own code.
if ls "$sdk"/lib/*/*.a 2>/dev/null | grep -v 'libTarnvelHost.dll.a$'; then
  echo "check-package: internal libraries in the package" >&2; exit 1
fi
scripts/check-exe.sh "$sdk/bin/x64/TarnvelBroker.exe" "$sdk/bin/x86/TarnvelBroker.exe"
scripts/check-dll.sh "$sdk/bin/x64/TarnvelHost.dll" "$sdk/bin/x86/TarnvelHost.dll"

# ---- As an adopter reads the zip: its README, its links, its target names; the README's C and
# C++ hosts and the shipped examples built from the unpacked zip alone (no CMAKE_PREFIX_PATH:
# examples/CMakeLists.txt finds the SDK above it).
for f in README.md examples/CMakeLists.txt examples/host-session/CMakeLists.txt examples/host-session/main.cpp \
         examples/host-session-c/CMakeLists.txt examples/host-session-c/main.c; do
  [ -f "$sdk/$f" ] || { echo "check-package: $f missing" >&2; exit 1; }
done
scripts/check-adopter-docs.py "$sdk" --extract "$work/readme-hosts"
mkdir -p "$work/readme-hosts/run"
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Werror -I"$sdk/include" "$work/readme-hosts/readme_host.c" \
  -L"$sdk/lib/x64" -lTarnvelHost -o "$work/readme-hosts/run/readme_host_c.exe"
x86_64-w64-mingw32-g++-posix -std=c++17 -static -Wall -Werror -I"$sdk/include" "$work/readme-hosts/readme_host.cpp" \
  "$sdk/lib/x64/libTarnvelHost.dll.a" -o "$work/readme-hosts/run/readme_host_cpp.exe"
cp "$sdk/bin/x64/TarnvelHost.dll" "$sdk/bin/x64/TarnvelBroker.exe" "$work/readme-hosts/run/"
cmake -S "$sdk/examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$work/examples"
# ---- end of the adopter's reading

source scripts/wine-env.sh build/win64
started=0
if wineserver -p 2>/dev/null; then started=1; fi
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
rc=0
for example in host-session host-session-c; do
  # The example's build put the DLL and the broker beside it: no path is given.
  one=0
  wine "$work/examples/$example/$example.exe" </dev/null | tee "$work/$example.log" || one=$?
  if [ "$one" -ne 0 ] || ! grep -q '^session ok' "$work/$example.log"; then
    echo "check-package: the $example session failed" >&2
    rc=1
  fi
done
for host in readme_host_c readme_host_cpp; do
  wine "$work/readme-hosts/run/$host.exe" </dev/null | tee "$work/$host.log" || { echo "check-package: the README's $host failed" >&2; rc=1; }
done
scripts/check-msvc-abi.sh x64 "$sdk/lib/x64/TarnvelHost.lib" "$sdk/bin/x64/TarnvelHost.dll" \
  "$sdk/bin/x64/TarnvelBroker.exe" "$work/msvc-abi-x64" --run || rc=1
scripts/check-msvc-abi.sh x86 "$sdk/lib/x86/TarnvelHost.lib" "$sdk/bin/x86/TarnvelHost.dll" \
  "$sdk/bin/x86/TarnvelBroker.exe" "$work/msvc-abi-x86" || rc=1
[ "$started" -eq 1 ] && { wineserver -k || true; }
[ "$rc" -eq 0 ] || exit 1
echo "check-package: C++ and C examples built against the package and ran a session; MSVC-ABI host linked (x64, x86) and ran (x64)"
