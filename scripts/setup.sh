#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs, only when missing, everything that building and testing need from Debian's
# packages: both MinGW-w64 -posix cross compilers, Wine, CMake, Ninja, GoogleTest sources,
# Google Benchmark, clang with its sanitizer/fuzzer runtime, LLVM's dlltool and lld-link (the
# host DLL's MSVC-style import library and the MSVC-ABI host that checks it), debootstrap
# for the x86 (WoW64) root that scripts/wow64-root.sh makes, and the SPDX licence-expression
# parser that checks the release's bill of materials.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine cmake ninja-build \
           googletest libbenchmark-dev clang libclang-rt-dev lld llvm python3 debootstrap clang-format \
           osslsigncode openssl python3-license-expression; do
  have_pkg "$pkg" || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
