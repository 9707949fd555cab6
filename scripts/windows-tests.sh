#!/usr/bin/env bash
# Builds the Windows console program (32-bit, MinGW-w64, preset mingw) and runs the Windows tests
# under Wine, with ptys mapped as COM ports. Installs what is missing (scripts/setup.sh windows:
# Debian, as root, no questions asked), so it runs as it is in CI, with no standard input.
#
# A machine whose kernel runs no 32-bit programs (IA-32 emulation off) cannot run 32-bit Wine:
# there the same sources are also built as 64-bit (preset mingw64) and the tests run on that
# build under 64-bit Wine. The 32-bit build is still built, warnings as errors, every time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh windows

if python3 scripts/runs_32bit_programs.py; then
  run_preset=mingw
  wine_arch=win32
  wine_loader=wine
else
  run_preset=mingw64
  wine_arch=win64
  wine_loader=/usr/lib/wine/wine64
  echo "windows-tests: this machine runs no 32-bit programs; the tests run on the 64-bit build"
fi

# The simulated target is a POSIX program: the default native build's.
cmake --preset default >/dev/null
cmake --build --preset default --target quorvane-sim -j"$(nproc)"
sim_option=(-DQUORVANE_SIM="$PWD/build/default/tools/quorvane-sim")

echo "== Windows build (32-bit)"
cmake --preset mingw "${sim_option[@]}" >/dev/null
cmake --build --preset mingw -j"$(nproc)"
if [ "$run_preset" != mingw ]; then
  echo "== Windows build (64-bit, for running the tests)"
  cmake --preset "$run_preset" "${sim_option[@]}" >/dev/null
  cmake --build --preset "$run_preset" -j"$(nproc)"
fi

# One Wine server for the whole run, started by the runner in the foreground (never the leader
# of a session, so no pty ever becomes its controlling terminal and a test closing its pty
# cannot hang the server up), with Wine's services started on /dev/null before ctest (else
# they hold ctest's output open until the server ends).
export WINEPREFIX="$PWD/build/$run_preset/wineprefix" WINEARCH="$wine_arch" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
stop_wine() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
trap stop_wine EXIT
python3 tests/win32/run_with_com_port.py --prefix "$WINEPREFIX" --arch "$wine_arch" \
  --wine "$wine_loader" --start-server

echo "== Windows tests under Wine ($run_preset)"
# The COM port runner makes a second run of a program that Wine failed to start, and only then.
ctest --preset "$run_preset" -j4 --timeout 300
