#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks an unpacked release's third-party notices and SPDX bill of materials against the
# linker maps of the build trees that made it (build/win64, build/win32): every file listed
# with its checksum, every archive each binary linked named as a component and in the
# notices, every licence expression valid SPDX. Then shows that the check refuses a release
# that leaves one linked component out: winpthreads' archive, from the bill and from the notices.
# Usage: scripts/check-notices.sh UNPACKED-RELEASE-FOLDER
set -euo pipefail
cd "$(dirname "$0")/.."
root=$1
trees=(build/win64 build/win32)
/usr/bin/python3 scripts/release_notices.py check "$root" "${trees[@]}"

work=build/notices-check
for leave_out in sbom notices; do
  rm -rf "$work" && mkdir -p "$work" && cp -r "$root" "$work/release"
  /usr/bin/python3 - "$work/release" "$leave_out" <<'PY'
import json, os, re, sys
root, leave_out = sys.argv[1:]
if leave_out == "sbom":
    path = os.path.join(root, "TarnvelBroker.spdx.json")
    doc = json.load(open(path))
    gone = {p["SPDXID"] for p in doc["packages"] if p["name"] == "libpthread.a"}
    doc["packages"] = [p for p in doc["packages"] if p["SPDXID"] not in gone]
    doc["relationships"] = [r for r in doc["relationships"] if r["relatedSpdxElement"] not in gone]
    json.dump(doc, open(path, "w"))
else:
    path = os.path.join(root, "THIRD-PARTY-NOTICES.txt")
    text = open(path).read()
    open(path, "w").write(re.sub(r"^    archives: libpthread\.a\n", "", text, flags=re.M))
PY
  if /usr/bin/python3 scripts/release_notices.py check "$work/release" "${trees[@]}" >"$work/log" 2>&1 ||
    ! grep -q 'libpthread.a is not' "$work/log"; then
    cat "$work/log"
    echo "check-notices: a release whose $leave_out leaves out winpthreads passed" >&2
    exit 1
  fi
  echo "check-notices: refused as it should, the $leave_out without winpthreads: $(grep -c 'libpthread.a is not' "$work/log") binaries named"
done
