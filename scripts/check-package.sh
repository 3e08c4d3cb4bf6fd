#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks a release zip as an integrator uses it: unpacks it, verifies SHA256SUMS, builds
# examples/host-session against the unpacked SDK (x64, MinGW) with find_package, and runs
# one session of it against the packaged x64 broker under Wine (the win64 tree's prefix).
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
for f in bin/x64/TarnvelBroker.exe bin/x86/TarnvelBroker.exe bin/x64/tarnvel-host.exe bin/x86/tarnvel-host.exe \
         include/tarnvel/host_client.h \
         lib/cmake/TarnvelBroker/TarnvelBrokerConfig.cmake lib/cmake/TarnvelBroker/TarnvelBrokerConfigVersion.cmake \
         doc/protocol.md LICENSE CHANGELOG.md; do
  [ -f "$sdk/$f" ] || { echo "check-package: $f missing" >&2; exit 1; }
done
ls "$sdk"/lib/x64/*.a "$sdk"/lib/x86/*.a >/dev/null
scripts/check-exe.sh "$sdk/bin/x64/TarnvelBroker.exe" "$sdk/bin/x86/TarnvelBroker.exe"

cmake -S examples/host-session -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$PWD/$sdk" >/dev/null
cmake --build "$work/example"

source scripts/wine-env.sh build/win64
started=0
if wineserver -p 2>/dev/null; then started=1; fi
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
broker="Z:$(cd "$sdk" && pwd)/bin/x64/TarnvelBroker.exe"
rc=0
wine "$work/example/host-session.exe" "${broker//\//\\}" </dev/null | tee "$work/session.log" || rc=$?
[ "$started" -eq 1 ] && { wineserver -k || true; }
[ "$rc" -eq 0 ] && grep -q '^session ok' "$work/session.log" || { echo "check-package: the example session failed" >&2; exit 1; }
echo "check-package: example built against the package and ran a session"
