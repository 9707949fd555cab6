#!/usr/bin/env bash
# Installs what a job needs when it is missing (Debian), and says nothing when nothing is.
#
#   scripts/setup.sh demo    the compiler and CMake: enough for scripts/demo.sh
#   scripts/setup.sh test    that and what the tests need: GoogleTest, Python 3, setpriv,
#                            clang and its fuzzing runtime (the default)
#
# Installing takes root; run as anyone else it names what is missing and how to install it.
set -euo pipefail

job=${1:-test}
missing=()

# need PACKAGE CHECK...: PACKAGE is missing when the check fails.
need() {
  local package=$1
  shift
  "$@" >/dev/null 2>&1 || missing+=("$package")
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

case "$job" in
  demo) demo_needs ;;
  test) test_needs ;;
  *) echo "usage: scripts/setup.sh [demo|test]" >&2; exit 2 ;;
esac

[ "${#missing[@]}" -eq 0 ] && exit 0
if [ "$EUID" -ne 0 ]; then
  echo "setup: the $job job needs ${missing[*]}, which only root can install; install them by hand:" >&2
  echo "  sudo apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
