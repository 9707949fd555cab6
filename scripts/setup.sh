#!/usr/bin/env bash
# Installs what building and testing need when it is missing (Debian; run as root).
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v python3 >/dev/null || missing+=(python3)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -d /usr/src/googletest ] || missing+=(googletest)
command -v setpriv >/dev/null || missing+=(util-linux)
command -v clang++ >/dev/null || missing+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-dev)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
