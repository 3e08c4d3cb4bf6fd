#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Proves without MSVC that an MSVC-ABI host links and runs against TarnvelHost.dll as shipped:
# tests/abi/msvc_ping.c is compiled by clang for *-pc-windows-msvc (freestanding: no C runtime,
# our header only), linked by lld-link against the shipped TarnvelHost.lib and a kernel32
# import library made here from four names, and (with --run) run under Wine beside a broker.
# Usage: scripts/check-msvc-abi.sh x64|x86 TarnvelHost.lib TarnvelHost.dll TarnvelBroker.exe OUT_DIR [--run]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=$1 lib=$2 dll=$3 broker=$4 out=$5 run=${6:-}
case "$arch" in
  x64) target=x86_64-pc-windows-msvc machine=x64 dlltool_machine=i386:x86-64 ;;
  x86) target=i686-pc-windows-msvc machine=x86 dlltool_machine=i386 ;;
  *) echo "check-msvc-abi: arch x64 or x86, not '$arch'" >&2; exit 2 ;;
esac
dlltool=$(command -v llvm-dlltool || ls /usr/bin/llvm-dlltool-* 2>/dev/null | head -n 1)
rm -rf "$out"
mkdir -p "$out"
cp "$dll" "$broker" "$out/"
# kernel32's functions are __stdcall: on x86 their symbols carry @<argument bytes> and are
# imported by their plain names (-k), as in the system's own import library.
{
  echo "LIBRARY kernel32.dll"
  echo "EXPORTS"
  if [ "$arch" = x86 ]; then
    printf '%s\n' ExitProcess@4 GetModuleFileNameW@12 GetStdHandle@4 WriteFile@20
  else
    printf '%s\n' ExitProcess GetModuleFileNameW GetStdHandle WriteFile
  fi
} >"$out/kernel32.def"
"$dlltool" -m "$dlltool_machine" -k -d "$out/kernel32.def" -D kernel32.dll -l "$out/kernel32.lib"
clang --target="$target" -std=c11 -ffreestanding -fno-builtin -fno-stack-protector -nostdlib -O1 \
  -Wall -Wextra -Werror -I "$root/include" -c "$root/tests/abi/msvc_ping.c" -o "$out/msvc_ping.obj"
lld-link /nologo /machine:"$machine" /subsystem:console /entry:Start /nodefaultlib \
  /out:"$out/msvc_ping.exe" "$out/msvc_ping.obj" "$lib" "$out/kernel32.lib"
# The program imports our functions from TarnvelHost.dll by their undecorated names.
imports=$(x86_64-w64-mingw32-objdump -p "$out/msvc_ping.exe" 2>/dev/null || i686-w64-mingw32-objdump -p "$out/msvc_ping.exe")
grep -q 'DLL Name: TarnvelHost.dll' <<<"$imports" || { echo "check-msvc-abi ($arch): no import of TarnvelHost.dll" >&2; exit 1; }
for name in tarnvel_broker_create tarnvel_broker_start tarnvel_ping tarnvel_free tarnvel_broker_destroy; do
  grep -qE "^\s+[0-9a-f]+\s+[0-9]+\s+$name\$" <<<"$imports" ||
    { echo "check-msvc-abi ($arch): $name is not imported by its plain name" >&2; exit 1; }
done
if [ "$run" != --run ]; then
  echo "check-msvc-abi ($arch): compiled by clang for $target and linked by lld-link against $(basename "$lib")"
  exit 0
fi
said=$(cd "$out" && wine ./msvc_ping.exe </dev/null 2>/dev/null) && rc=0 || rc=$?
echo "$said"
if [ "$rc" -ne 0 ] || [ "$said" != "msvc-abi: pong" ]; then
  echo "check-msvc-abi ($arch): the MSVC-ABI host failed (exit code $rc)" >&2
  exit 1
fi
echo "check-msvc-abi ($arch): clang for $target + lld-link against $(basename "$lib"): ran a ping under Wine"
