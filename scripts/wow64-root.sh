#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The x86 runtime layer: a Debian trixie root whose Wine 10 runs 32-bit Windows programs in
# its classic WoW64 layout (a 64-bit and a 32-bit loader; the machine's own Wine 8 has no
# WoW64). Made once and reused; only Wine lives there, the cross compilers and the build tree
# stay on the machine.
#
#   scripts/wow64-root.sh make          make the root unless it is already complete
#   scripts/wow64-root.sh run CMD...    run CMD inside the root, from the current directory
#   scripts/wow64-root.sh way           print how 32-bit code runs here: native or emulated
#
# One root serves every machine. Where the kernel runs 32-bit x86 code, Wine's 32-bit loader
# runs natively. Where it runs none (a probe far-jumps into the 32-bit code segment and sees
# no 32-bit code run), the loader runs under qemu-i386, registered with binfmt_misc for i386
# programs; that entry is made only there, so a machine that runs 32-bit code keeps its own
# loader. Only the 32-bit loader is emulated: the wineserver and the 64-bit parts run natively.
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
recipe=3
# The emulator is added to the root only on machines that need it; it has its own marker.
qemu="/opt/tarnvel/qemu-i386"
qemu_ready="$root/.tarnvel-qemu-ready"
qemu_recipe=1
binfmt=/proc/sys/fs/binfmt_misc
binfmt_name=tarnvel-i386

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

# Prints the probe's answer ("yes: ..." or "no: ...") and exits 0 on "yes", 1 on "no"; a
# probe that cannot be built exits 2, so that "no answer" is never taken for "no".
probe() {
  local bin="$top/build/ia32-probe" src="$top/scripts/ia32-probe.c"
  if [ ! -x "$bin" ] || [ "$src" -nt "$bin" ]; then
    mkdir -p "$top/build"
    if ! cc -O1 -static -no-pie -o "$bin.$$" "$src"; then
      echo "wow64-root: cannot build the 32-bit probe ($src)" >&2
      exit 2
    fi
    mv "$bin.$$" "$bin"
  fi
  "$bin"
}

# "native" or "emulated", with the probe's reason on stderr.
way() {
  local answer rc=0
  answer=$(probe) || rc=$?
  case $rc in
    0)
      echo "wow64-root: 32-bit x86 code runs natively here ($answer); Wine's 32-bit loader runs natively" >&2
      echo native
      ;;
    1)
      echo "wow64-root: this machine runs no 32-bit x86 code ($answer); Wine's 32-bit loader runs under qemu-i386 emulation" >&2
      echo emulated
      ;;
    *) die "the 32-bit probe gave no answer" ;;
  esac
}

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
  local w
  w=$(way)
  if [ -f "$ready" ] && [ "$(cat "$ready")" = "$recipe" ]; then
    echo "wow64-root: reusing $root"
  else
    command -v debootstrap >/dev/null || die "debootstrap is missing (scripts/setup.sh installs it)"
    local start=$SECONDS
    echo "wow64-root: making $root (once; about three minutes and 2 GB)"
    rm -rf "$root"
    mkdir -p "$root"
    unshare --mount --propagation private -- "$0" __make "$(mirror)"
    echo "wow64-root: made in $((SECONDS - start)) s"
  fi
  if [ "$w" = emulated ]; then
    if [ -f "$qemu_ready" ] && [ "$(cat "$qemu_ready")" = "$qemu_recipe" ]; then
      echo "wow64-root: reusing its qemu-i386"
    else
      unshare --mount --propagation private -- "$0" __qemu
    fi
  fi
}

# Inside the namespace: debootstrap, then Wine 10 with both loaders.
make_inside() {
  local mirror=$1
  forget_binfmt
  debootstrap --variant=minbase trixie "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log" >&2; die "debootstrap failed (log: $root.debootstrap.log)"; }
  mount_system
  chroot "$root" /bin/bash -euo pipefail -c '
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture i386
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends wine wine64 wine32:i386 cmake >/dev/null
    apt-get clean
  '
  echo "$recipe" >"$ready"
}

# Inside the namespace: only the qemu-i386 binary of trixie's qemu-user package.
qemu_inside() {
  mount_system
  chroot "$root" /bin/bash -euo pipefail -c '
    export DEBIAN_FRONTEND=noninteractive
    tmp=$(mktemp -d)
    chown _apt "$tmp"  # apt downloads as its own user
    cd "$tmp"
    apt-get download -qq qemu-user
    dpkg-deb --fsys-tarfile qemu-user_*.deb | tar -x ./usr/bin/qemu-i386
    mkdir -p "$(dirname "$1")"
    mv usr/bin/qemu-i386 "$1"
    cd /
    rm -rf "$tmp"
  ' _ "$qemu"
  "$root$qemu" --version | head -n 1
  echo "$qemu_recipe" >"$qemu_ready"
}

# Inside a namespace: binfmt_misc mounted, if the machine has not mounted it already.
binfmt_mounted() {
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" ||
    die "cannot mount binfmt_misc, so 32-bit programs cannot be sent to qemu-i386"
}

# binfmt_misc sends i386 ELF programs to the root's qemu-i386. F opens the emulator now, so
# it is found from inside the root too; P keeps argv[0], which Wine's loader reads. An entry
# for another emulator (an older root, another root path) is replaced. Newer kernels drop the
# entries with the last binfmt_misc mount, so the entry often lives only as long as this run's
# namespace; older ones keep it, which is harmless on a machine that runs no 32-bit code.
register_binfmt() {
  [ -f "$qemu_ready" ] || die "the root has no qemu-i386: run '$0 make' first"
  binfmt_mounted
  if [ -e "$binfmt/$binfmt_name" ]; then
    grep -qxF "interpreter $root$qemu" "$binfmt/$binfmt_name" && return 0
    echo -1 >"$binfmt/$binfmt_name"
  fi
  printf '%s' ":$binfmt_name:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$root$qemu:FP" \
    >"$binfmt/register" || die "cannot register qemu-i386 with binfmt_misc"
}

# A remade root brings a new emulator; the entry pinned the old one.
forget_binfmt() {
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || return 0
  if [ -e "$binfmt/$binfmt_name" ]; then echo -1 >"$binfmt/$binfmt_name" || true; fi
}

run_inside() {
  local w
  w=$(way 2>/dev/null) || die "the 32-bit probe could not run, so the way to run 32-bit code is unknown"
  if [ "$w" = emulated ]; then register_binfmt; fi
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
  way)
    way
    ;;
  run)
    shift
    [ "$#" -gt 0 ] || die "usage: $0 run CMD..."
    need_root_rights
    [ -f "$ready" ] && [ "$(cat "$ready")" = "$recipe" ] || die "no current x86 root at $root: run '$0 make' first"
    case "$PWD/" in "$top"/*) ;; *) die "run from inside $top" ;; esac
    exec unshare --mount --propagation private -- "$0" __run "$@"
    ;;
  __make)
    shift
    make_inside "$@"
    ;;
  __qemu)
    qemu_inside
    ;;
  __run)
    shift
    run_inside "$@"
    ;;
  *)
    die "usage: $0 make | way | run CMD..."
    ;;
esac
