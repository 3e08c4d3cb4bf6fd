#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release zip build/package/TarnvelBroker-<version>.zip: both brokers, both
# tarnvel-host tools and both TarnvelHost.dll (stripped, signed when scripts/sign.sh is given
# a certificate), the host SDK (headers, the DLL's import libraries for MinGW and MSVC-style
# linkers of both architectures, its .def file, CMake package files), the protocol reference,
# the SDK notes, the README, the licence, the changelog, the administrative templates and SHA256SUMS. Reuses the win64 and
# win32 build trees; two runs on one commit give byte-identical zips.
# Usage: scripts/package.sh   (prints the zip's path last)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
version=$(sed -nE 's/^project\(TarnvelBroker VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no project version in CMakeLists.txt" >&2; exit 1; }
out=build/package
name=TarnvelBroker-$version
stage=$out/$name
# Strip and zip take their dates from here, so two builds of one commit are byte-identical.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage"

for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target TarnvelBroker tarnvel_host_dll tarnvel_host_msvc_lib tarnvel-host
  cmake --install "build/$preset" --prefix "$stage" >/dev/null
done
x86_64-w64-mingw32-strip "$stage"/bin/x64/*.exe "$stage"/bin/x64/*.dll
i686-w64-mingw32-strip "$stage"/bin/x86/*.exe "$stage"/bin/x86/*.dll
# Authenticode, when the environment gives a certificate and key (see scripts/sign.sh).
scripts/sign.sh $(find "$stage/bin" -type f \( -name '*.exe' -o -name '*.dll' \) | LC_ALL=C sort)
cp LICENSE CHANGELOG.md "$stage/"

# ---- For adopters: the zip's own README (the repository's is for its developers) and the
# example hosts with the CMakeLists.txt that builds them from the unpacked zip.
cp sdk/package/README.md "$stage/README.md"
(cd examples && find . -type f \( -name CMakeLists.txt -o -name '*.c' -o -name '*.cpp' -o -name '*.h' \)) |
  LC_ALL=C sort | while read -r f; do install -D -m 0644 "examples/$f" "$stage/examples/$f"; done
# ---- end of the adopters' files

# The administrative templates (ADMX, en-US ADML), made from the broker's policy table by its
# generator, built here for the build machine.
c++ -std=c++17 -O1 -I. -Iinclude tools/admin-templates/main.cpp policy/admin_policy.cpp policy/admin_templates.cpp \
  -o "$out/tarnvel-admin-templates"
"$out/tarnvel-admin-templates" "$stage/policies"

# Third-party notices, the SPDX bill of materials and the build information, from the build
# trees' linker maps. The bill lists every file staged so far: keep this the last step before
# SHA256SUMS.
/usr/bin/python3 scripts/release_notices.py make "$stage" build/win64 build/win32
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
# The same commit gives the same zip: entries in a fixed order, each dated from the commit
# (or SOURCE_DATE_EPOCH), with fixed permissions. Python's zipfile keeps the setup free of
# one more package.
python3 - "$out" "$name" "$SOURCE_DATE_EPOCH" <<'PY'
import os, sys, time, zipfile
out, name, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
# Zip dates have no time zone and start in 1980.
stamp = time.gmtime(max(epoch, 315532800))[:6]
paths = []
for top, dirs, files in os.walk(os.path.join(out, name)):
    paths += [os.path.join(top, f) for f in files]
with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w") as z:
    for path in sorted(paths, key=lambda p: os.path.relpath(p, out).encode()):
        info = zipfile.ZipInfo(os.path.relpath(path, out).replace(os.sep, "/"), stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3  # Unix, so that the permissions below are read
        info.external_attr = (0o100755 if os.access(path, os.X_OK) else 0o100644) << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
PY
echo "package: $(stat -c %s "$out/$name.zip") bytes, $(wc -l <"$stage/SHA256SUMS") files"
echo "$out/$name.zip"
