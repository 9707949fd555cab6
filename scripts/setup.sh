#!/usr/bin/env bash
# Installs what a job needs when it is missing (Debian), and says nothing when nothing is.
#
#   scripts/setup.sh demo     the compiler and CMake: enough for scripts/demo.sh
#   scripts/setup.sh test     that and what the tests need: GoogleTest, Python 3, setpriv,
#                             clang and its fuzzing runtime (the default)
#   scripts/setup.sh windows  that and MinGW-w64 and Wine, for scripts/windows-tests.sh
#
# Installing takes root; run as anyone else it names what is missing and how to install it.
set -euo pipefail

here=$(dirname "$0")
job=${1:-test}
missing=()

# need PACKAGE CHECK...: PACKAGE is missing when the check fails.
need() {
  local package=$1
  shift
  "$@" >/dev/null 2>&1 || missing+=("$package")
}

install_missing() {
  [ "${#missing[@]}" -eq 0 ] && return 0
  local i386=false
  [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386 && i386=true
  if [ "$EUID" -ne 0 ]; then
    echo "setup: the $job job needs ${missing[*]}, which only root can install; install them by hand:" >&2
    if $i386; then echo "  sudo dpkg --add-architecture i386 && sudo apt-get update" >&2; fi
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  if $i386; then dpkg --add-architecture i386; fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
  missing=()
}

demo_needs() {
  need g++ command -v g++
  need cmake command -v cmake
  need make command -v make
}

test_needs() {
  demo_needs
  need python3 command -v python3
  need libgtest-dev test -f /usr/include/gtest/gtest.h
  need googletest test -d /usr/src/googletest
  need util-linux command -v setpriv
  need clang command -v clang++
  need libclang-rt-dev compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
}

# The 32-bit cross compiler, GoogleTest's sources for it, and a native build of the simulated
# target (which the default configuration makes, tests included).
windows_needs() {
  demo_needs
  need python3 command -v python3
  need libgtest-dev test -f /usr/include/gtest/gtest.h
  need googletest test -d /usr/src/googletest
  need g++-mingw-w64-i686-posix command -v i686-w64-mingw32-g++-posix
}

# 32-bit Wine where the kernel runs 32-bit programs; else 64-bit Wine and the 64-bit cross
# compiler, for a 64-bit build to run the tests on.
wine_needs() {
  need wine command -v wine
  if python3 "$here/runs_32bit_programs.py"; then
    need wine32:i386 dpkg -s wine32:i386
  else
    need wine64 test -x /usr/lib/wine/wine64
    need g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix
  fi
}

case "$job" in
  demo) demo_needs ;;
  test) test_needs ;;
  windows) windows_needs; install_missing; wine_needs ;;  # the probe needs Python
  *) echo "usage: scripts/setup.sh [demo|test|windows]" >&2; exit 2 ;;
esac
install_missing
