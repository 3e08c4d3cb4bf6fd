#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The fault layer: a full disk and a broker ended half-way, for every act that replaces a
# file (tests/faults/fault_layer.cpp says what is checked). As root, in a mount namespace of
# its own, a size-limited tmpfs goes under the prefix's data folder, its temporary folder and
# an export destination; the mounts vanish with the namespace on any exit path.
#   scripts/fault-test.sh BUILD_DIR                      x64, with the machine's Wine
#   scripts/wow64-root.sh run scripts/fault-test.sh build/win32     x86, in the WoW64 root
# A machine where it cannot mount fails loudly: the layer never passes by being skipped.
set -euo pipefail
build=${1:?usage: scripts/fault-test.sh BUILD_DIR}
limit=${FAULT_LIMIT_BYTES:-262144}
big=${FAULT_DEATH_BYTES:-33554432}
points=${FAULT_DEATH_POINTS:-6}

die() { echo "fault-test: $*; the fault layer did not run" >&2; exit 1; }

if [ "${TARNVEL_FAULT_NAMESPACE:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || die "mounting the size-limited file systems needs root rights"
  # Mounts stay in this namespace. Inside the WoW64 root '/' is no mount point, so the
  # bind-mounted tree the prefix lives in is made private instead.
  export TARNVEL_FAULT_NAMESPACE=1
  exec unshare --mount --propagation unchanged -- "$0" "$@"
fi
top=$(cd "$(dirname "$0")/.." && pwd)
mount --make-rprivate / 2>/dev/null || mount --make-rprivate "$top" 2>/dev/null ||
  die "cannot make the mounts of this namespace private"

# A prefix of its own: Wine's server renames and removes files, so it must run in this
# namespace, never be one another run started outside it.
source "$(dirname "$0")/wine-env.sh" "$build" wineprefix-faults
exe="$wine_build_dir/test-programs/fault_layer.exe"
[ -f "$exe" ] || die "$exe is not built"
user_dir=
for d in "$WINEPREFIX"/drive_c/users/*; do
  [ "$(basename "$d")" != Public ] && [ -d "$d/AppData" ] && user_dir=$d
done
[ -n "$user_dir" ] || die "no user profile in $WINEPREFIX"
roots=("$user_dir/AppData/Roaming/tarnvel0fa17e57" "$user_dir/AppData/Local/Temp/tarnvel-faults"
  "$WINEPREFIX/drive_c/tarnvel-faults")
for r in "${roots[@]}"; do
  rm -rf "$r"
  mkdir -p "$r/full" "$r/disk"
  mount -t tmpfs -o "size=$limit" tarnvel-faults "$r/full" || die "cannot mount a $limit-byte tmpfs at $r/full"
done

wineserver -p 2>/dev/null || die "a Wine server already runs for $WINEPREFIX, outside this namespace"
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
start=$SECONDS
rc=0
wine "$exe" "$limit" "$big" "$points" || rc=$?
echo "fault-test: $(basename "$wine_build_dir"), tmpfs of $limit bytes, deaths inside $big-byte acts, $((SECONDS - start)) s"
wineserver -k || true
for r in "${roots[@]}"; do umount "$r/full" || true; rm -rf "$r"; done
exit $rc
