#!/usr/bin/env bash
# Builds and runs every test: the default build (unit and end-to-end tests), the unit tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the worker-thread tests under
# ThreadSanitizer, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
}

echo "== default build: every test"
build default
ctest --preset default -j8

echo "== AddressSanitizer and UndefinedBehaviorSanitizer: unit tests"
build asan
ctest --preset asan -j8 -L "unit|worker"

echo "== ThreadSanitizer: worker-thread tests"
build tsan
ctest --preset tsan -j8 -L worker

if [ -x scripts/windows-tests.sh ]; then
  echo "== Windows build under Wine"
  scripts/windows-tests.sh
fi
