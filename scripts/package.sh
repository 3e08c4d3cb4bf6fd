#!/usr/bin/env bash
# Builds the release zip build/package/TarnvelBroker-<version>.zip: both exes (stripped), the
# host SDK (headers, static libraries of both architectures, CMake package files), the
# protocol reference, the README, the licence, the changelog and SHA256SUMS. Reuses the win64 and win32 build trees.
# Usage: scripts/package.sh   (prints the zip's path last)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
version=$(sed -nE 's/^project\(TarnvelBroker VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no project version in CMakeLists.txt" >&2; exit 1; }
out=build/package
name=TarnvelBroker-$version
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"

for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target TarnvelBroker tarnvel_host_client
  cmake --install "build/$preset" --prefix "$stage" >/dev/null
done
x86_64-w64-mingw32-strip "$stage/bin/x64/TarnvelBroker.exe"
i686-w64-mingw32-strip "$stage/bin/x86/TarnvelBroker.exe"
cp README.md LICENSE CHANGELOG.md "$stage/"

(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
# Python's zipfile keeps the setup free of one more package.
(cd "$out" && python3 -m zipfile -c "$name.zip" "$name/")
echo "package: $(stat -c %s "$out/$name.zip") bytes, $(wc -l <"$stage/SHA256SUMS") files"
echo "$out/$name.zip"
