#!/usr/bin/env bash
# The x86 runtime layer: a Debian trixie root whose Wine 10 runs 32-bit Windows programs in
# WoW64 mode (the machine's own Wine cannot). Made once and reused; only Wine lives there, the
# cross compilers and the build tree stay on the machine.
#
#   scripts/wow64-root.sh make          make the root unless it is already complete
#   scripts/wow64-root.sh run CMD...    run CMD inside the root, from the current directory
#
# The root is $TARNVEL_WOW64_ROOT (default /var/cache/tarnvel/wow64-trixie). Every mount is
# made in a mount namespace of this script's own, so all of them vanish with it on any exit
# path, killed or not; the project tree is bind-mounted at its own path, so build trees,
# Wine prefixes and Z: paths are the same inside and out.
set -euo pipefail

root=${TARNVEL_WOW64_ROOT:-/var/cache/tarnvel/wow64-trixie}
top=$(cd "$(dirname "$0")/.." && pwd)
ready="$root/.tarnvel-wow64-ready"
# Bump when the contents below change, so that an older root is made again.
recipe=2

die() { echo "wow64-root: $*" >&2; exit 1; }

need_root_rights() {
  [ "$(id -u)" -eq 0 ] && return 0
  die "making and entering the x86 (WoW64) root needs root rights (debootstrap, chroot, mounts); \
run as root or with sudo. The x86 Win32 and end-to-end tests cannot run without it."
}

mirror() {
  # The machine's own Debian mirror, read from its apt sources.
  local uri
  uri=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1 || true)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list | awk '{print $2}' | head -n1 || true)
  fi
  [ -n "$uri" ] || die "no Debian mirror found in the machine's apt sources"
  echo "$uri"
}

# Runs the rest of this script's work inside a private mount namespace.
in_namespace() { exec unshare --mount --propagation private -- "$@"; }

mount_system() {
  local d
  for d in proc sys dev dev/pts; do mkdir -p "$root/$d"; done
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
}

make_root() {
  need_root_rights
  if [ -f "$ready" ] && [ "$(cat "$ready")" = "$recipe" ]; then
    echo "wow64-root: reusing $root"
    return 0
  fi
  command -v debootstrap >/dev/null || die "debootstrap is missing (scripts/setup.sh installs it)"
  local start=$SECONDS
  echo "wow64-root: making $root (once; about a minute and 2 GB)"
  rm -rf "$root"
  mkdir -p "$root"
  unshare --mount --propagation private -- "$0" __make "$(mirror)"
  echo "wow64-root: made in $((SECONDS - start)) s"
}

# Inside the namespace: debootstrap, then Wine 10 with the i386 PE libraries.
make_inside() {
  local mirror=$1
  debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log" >&2; die "debootstrap failed (log: $root.debootstrap.log)"; }
  mount_system
  chroot "$root" /bin/bash -euo pipefail -c '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends wine64 wine cmake >/dev/null
    dpkg --add-architecture i386
    apt-get update -qq
    tmp=$(mktemp -d)
    chown _apt "$tmp"  # apt downloads as its own user
    cd "$tmp"
    apt-get download -qq libwine:i386
    dpkg-deb -x libwine_*_i386.deb x
    cp -a x/usr/lib/i386-linux-gnu/wine/i386-windows/. /usr/lib/x86_64-linux-gnu/wine/i386-windows/
    cd /
    rm -rf "$tmp"
    apt-get clean
  '
  echo "$recipe" >"$ready"
}

run_inside() {
  mount_system
  mkdir -p "$root$top"
  mount --bind "$top" "$root$top"
  local cwd=$PWD
  exec chroot "$root" /usr/bin/env -C "$cwd" "$@"
}

case "${1:-}" in
  make)
    make_root
    ;;
  run)
    shift
    [ "$#" -gt 0 ] || die "usage: $0 run CMD..."
    need_root_rights
    [ -f "$ready" ] || die "no x86 root at $root: run '$0 make' first"
    case "$PWD/" in "$top"/*) ;; *) die "run from inside $top" ;; esac
    in_namespace "$0" __run "$@"
    ;;
  __make)
    shift
    make_inside "$@"
    ;;
  __run)
    shift
    run_inside "$@"
    ;;
  *)
    die "usage: $0 make | run CMD..."
    ;;
esac
