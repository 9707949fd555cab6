#!/usr/bin/env bash
# Builds and runs every test: the default build (unit and end-to-end tests), every test again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the worker-thread tests under
# ThreadSanitizer, the real serial drivers in a QEMU guest, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
jobs=$(nproc)

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
}

echo "== default build: every test"
build default
ctest --preset default -j8 -LE vm

echo "== AddressSanitizer and UndefinedBehaviorSanitizer: every test"
build asan
# The guest's programs are static, which the sanitizers cannot be: the vm tests run once, below.
ctest --preset asan -j8 -LE vm

echo "== ThreadSanitizer: worker-thread tests"
build tsan
ctest --preset tsan -j8 -L worker

echo "== real serial drivers in a QEMU guest: the 16550 and the FTDI adapter"
ctest --preset default -j2 -L vm

echo "== fuzzing the firmware decoding: the seed corpus, then a one-minute run"
cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j"$jobs"
# Crash files go to the build tree, never into the sources.
mkdir -p build/fuzz/corpus build/fuzz/artifacts
build/fuzz/firmware_fuzz -artifact_prefix=build/fuzz/artifacts/ fuzz/corpus/*
build/fuzz/firmware_fuzz -artifact_prefix=build/fuzz/artifacts/ -max_total_time=60 -max_len=800000 \
  build/fuzz/corpus fuzz/corpus 2>&1 | tail -n 3

if [ -x scripts/windows-tests.sh ]; then
  echo "== Windows build under Wine"
  scripts/windows-tests.sh
fi

echo "== installing: a staging install and its programs and library, the manual pages, the Debian packages"
scripts/package-tests.sh
