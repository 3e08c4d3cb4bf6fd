#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks what an organisation checks before it adopts a release:
#  1. reproducible: the tracked sources, copied into another folder and packaged there from
#     clean build trees, give a byte-identical zip (same SHA256SUMS, same zip), its notices,
#     SPDX bill of materials and build information included;
#  2. signable: with a throwaway self-signed certificate, scripts/sign.sh signs every exe,
#     osslsigncode verifies each signature, and the signed x64 tools run a broker session.
# Run after scripts/package.sh, from a clean tree (both packages must see the same sources).
# Usage: scripts/check-release.sh ZIP
set -euo pipefail
cd "$(dirname "$0")/.."
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=build/release-check
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
# The copy is no git checkout: it is told the commit that BUILDINFO.txt names.
TARNVEL_SOURCE_COMMIT=$(/usr/bin/python3 scripts/release_notices.py commit)
export TARNVEL_SOURCE_COMMIT

start=$SECONDS
# The copy lies deeper than the checkout and has its own build trees, so a path or a time
# that leaks into a binary shows as a difference.
copy="$work/elsewhere/TarnvelBroker-copy"
mkdir -p "$copy"
git ls-files -z | xargs -0 cp --parents -t "$copy"
(cd "$copy" && scripts/package.sh >"$work/package-copy.log" 2>&1) ||
  { tail -n 20 "$work/package-copy.log"; echo "check-release: packaging the copy failed" >&2; exit 1; }
twin=$(ls "$copy"/build/package/TarnvelBroker-*.zip)
sums() {
  python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.stdout.write(z.read([n for n in z.namelist() if n.endswith("/SHA256SUMS")][0]).decode())' "$1"
}
if ! diff <(sums "$zip") <(sums "$twin"); then
  echo "check-release: the two builds' SHA256SUMS differ (above)" >&2
  exit 1
fi
if ! cmp -s "$zip" "$twin"; then
  echo "check-release: same files, but the zips differ" >&2
  exit 1
fi
echo "check-release: reproducible: two builds in different folders gave one zip ($(sha256sum <"$zip" | cut -c1-16)...) in $((SECONDS - start)) s"

start=$SECONDS
signed="$work/signed"
mkdir -p "$signed"
python3 -m zipfile -e "$zip" "$signed/unpacked"
bin=$(ls -d "$signed"/unpacked/TarnvelBroker-*/bin)
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=TarnvelBroker throwaway test signing" \
  -keyout "$signed/key.pem" -out "$signed/cert.pem" 2>/dev/null
exes=$(find "$bin" -type f \( -name '*.exe' -o -name '*.dll' \) | LC_ALL=C sort)
TARNVEL_SIGN_CERT="$signed/cert.pem" TARNVEL_SIGN_KEY="$signed/key.pem" scripts/sign.sh $exes
for f in $exes; do
  osslsigncode verify -CAfile "$signed/cert.pem" -in "$f" >"$signed/verify.log" 2>&1 ||
    { cat "$signed/verify.log"; echo "check-release: the signature of $f does not verify" >&2; exit 1; }
done
source scripts/wine-env.sh build/win64
started=0
if wineserver -p 2>/dev/null; then started=1; fi
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
rc=0
wine "$bin/x64/tarnvel-host.exe" ping "write-string hkcu software\\tarnvel\\release-check name signed" \
  "read-string hkcu software\\tarnvel\\release-check name" "delete-key hkcu software\\tarnvel\\release-check" \
  </dev/null >"$signed/session.log" 2>&1 || rc=$?
[ "$started" -eq 1 ] && { wineserver -k || true; }
if [ "$rc" -ne 0 ] || ! grep -q signed "$signed/session.log"; then
  cat "$signed/session.log"
  echo "check-release: the signed broker did not run a session (exit $rc)" >&2
  exit 1
fi
echo "check-release: signed: $(wc -w <<<"$exes") exes signed and verified; the signed x64 broker ran a session, in $((SECONDS - start)) s"
