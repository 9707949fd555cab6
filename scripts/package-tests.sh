#!/usr/bin/env bash
# Installs quorvane as its users get it and checks what they get: a staging install whose
# programs do a whole upload, the example built as a project of its own against the installed
# CMake package and run on a pty, a one-file program built with the pkg-config flags, the manual
# pages linted, and the Debian packages' contents. On a disposable machine (root with CI=true)
# the packages are also installed, used and removed again. The Windows build's install is
# checked when that build is present.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
work=$repo/build/package-tests
stage=$work/stage
started=$SECONDS
sims=()
installed_packages=()

fail() { echo "package-tests: $*" >&2; exit 1; }

cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "${#installed_packages[@]}" -gt 0 ]; then
    dpkg --purge "${installed_packages[@]}" >/dev/null || echo "package-tests: could not remove ${installed_packages[*]}" >&2
  fi
}
trap cleanup EXIT

# Fails with a diff unless the two texts are the same.
expect_same() {
  local what=$1 expected=$2 actual=$3
  [ "$expected" = "$actual" ] && return
  diff -u <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
  fail "$what: not as expected (diff above: - expected, + got)"
}

install_tools() {
  local missing=()
  command -v pkg-config >/dev/null || missing+=(pkgconf)
  command -v groff >/dev/null || missing+=(groff-base)
  command -v mandoc >/dev/null || missing+=(mandoc)
  command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
  command -v file >/dev/null || missing+=(file)  # CPack looks at the files' types for shlibdeps
  [ "${#missing[@]}" -eq 0 ] && return
  [ "$(id -u)" = 0 ] || fail "needs ${missing[*]}: install them (apt-get install ${missing[*]}) or run as root"
  echo "package-tests: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}

# Starts quorvane-sim from the stage with the given options; sets sim and device (its pty).
start_sim() {
  local out
  out=$(mktemp -p "$work" sim.XXXXXX)
  "$stage/bin/quorvane-sim" "$@" >"$out" &
  sim=$!
  sims+=("$sim")
  for _ in $(seq 200); do
    device=$(sed -n 's/^device: //p' "$out")
    [ -n "$device" ] && return
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.05
  done
  fail "quorvane-sim did not start"
}

build_and_stage() {
  echo "== installing the default build into a staging prefix"
  cmake --preset default >/dev/null
  cmake --build --preset default -j"$(nproc)" --target quorvane quorvane-sim serport manpages >/dev/null
  rm -rf "$work"
  mkdir -p "$work"
  # A relative prefix, as a user may type it: what the installed files name must be absolute.
  cmake --install build/default --prefix "${stage#"$repo"/}" >/dev/null
  libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' build/default/CMakeCache.txt)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/default/CMakeCache.txt)
  config=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' build/default/CMakeCache.txt | tr '[:upper:]' '[:lower:]')
  # The programs, one header and nothing else of the library's insides, the packages' files.
  expect_same "the staged files" "$(sort <<EOF
bin/quorvane
bin/quorvane-sim
include/serport/serport.h
$libdir/cmake/serport/serportConfig.cmake
$libdir/cmake/serport/serportConfigVersion.cmake
$libdir/cmake/serport/serportTargets.cmake
$libdir/cmake/serport/serportTargets-$config.cmake
$libdir/libserport.a
$libdir/pkgconfig/serport.pc
share/doc/libserport-dev/copyright
share/doc/quorvane/README.md
share/doc/quorvane/copyright
share/doc/quorvane/examples/sample-image.txt
share/man/man1/quorvane-sim.1.gz
share/man/man1/quorvane.1.gz
EOF
)" "$(cd "$stage" && find . -type f | sed 's|^\./||' | sort)"
}

check_staged_upload() {
  echo "== the staged quorvane uploads the sample image to the staged quorvane-sim"
  local image=$stage/share/doc/quorvane/examples/sample-image.txt records=$work/records.txt
  start_sim --bitrate 115200 --record-log "$records"
  local output status=0
  output=$("$stage/bin/quorvane" "$image" "$device" 115200 10) || status=$?
  [ "$status" = 0 ] || { printf '%s\n' "$output" >&2; fail "the upload ended with status $status"; }
  expect_same "the end of the upload's output" \
    "$(printf 'Transferring... 100%% done.\nTarget updated successfully.')" \
    "$(printf '%s\n' "$output" | tail -n 2)"
  wait "$sim" || fail "quorvane-sim ended with status $? after the upload"
  expect_same "the records the target received" \
    "$(tr -d '\n' <"$image" | tr a-f A-F)" "$(tr -d '\n' <"$records")"
}

# Runs the example on the pty of a fresh quorvane-sim: a pty opens like a serial line but has no
# modem lines and keeps no line-error counts, so those operations fail, each reported on its own.
check_example() {
  local build=$1
  start_sim --time-limit 60
  local out=$work/linestatus.out err=$work/linestatus.err status=0
  "$build/linestatus" "$device" --dtr on --rts off --break >"$out" 2>"$err" || status=$?
  kill "$sim" 2>/dev/null || true
  [ "$status" = 1 ] || fail "linestatus on a pty ended with status $status, not 1"
  expect_same "linestatus's output on a pty" \
    "$(printf '%s: open at 9600 bit/s, 8N1\nbreak sent' "$device")" "$(cat "$out")"
  expect_same "linestatus's failures on a pty" "$(cat <<'EOF'
SetDtr(): WIN32 EscapeCommFunction() failed: <system text>
ClearRts(): WIN32 EscapeCommFunction() failed: <system text>
GetLineState(): WIN32 GetCommModemStatus() failed: <system text>
GetComStatus(): WIN32 ClearCommError() failed: <system text>
EOF
)" "$(sed -E 's/failed: .+$/failed: <system text>/' "$err")"
  status=0
  "$build/linestatus" /dev/null >"$out" 2>&1 || status=$?
  expect_same "linestatus on /dev/null" "1 /dev/null: not a serial device" "$status $(cat "$out")"
  status=0
  "$build/linestatus" >"$out" 2>&1 || status=$?
  [ "$status" = 2 ] && grep -q '^usage: linestatus <device>' "$out" ||
    fail "linestatus without a device ended with status $status and no usage text"
}

check_example_project() {
  echo "== examples/linestatus as a project of its own against the staged CMake package"
  local build=$work/linestatus
  cmake -S examples/linestatus -B "$build" -DCMAKE_PREFIX_PATH="$stage" >/dev/null
  expect_same "the serport package linestatus found" "$stage/$libdir/cmake/serport" \
    "$(sed -n 's/^serport_DIR:PATH=//p' "$build/CMakeCache.txt")"
  cmake --build "$build" -j"$(nproc)" >/dev/null
  check_example "$build"
}

check_pkg_config() {
  echo "== a one-file program built with pkg-config's flags for serport"
  export PKG_CONFIG_PATH=$stage/$libdir/pkgconfig
  expect_same "pkg-config's version of serport" "$version" "$(pkg-config --modversion serport)"
  # Built away from the tree, so that only the paths serport.pc names can be found.
  # shellcheck disable=SC2046  # the flags are words
  (cd "$work" && g++ -std=c++17 -Wall -Wextra -pedantic -Wshadow -Werror $(pkg-config --cflags serport) \
    "$repo/tests/package/sync_probe.cpp" -o sync_probe $(pkg-config --libs serport))
  unset PKG_CONFIG_PATH
  start_sim
  local output status=0
  output=$("$work/sync_probe" "$device") || status=$?
  expect_same "the sync probe's exchange" "0 reply: dsc01" "$status $output"
  wait "$sim" || fail "quorvane-sim ended with status $? after the sync probe"
}

# groff as man runs it on an 80-column terminal, and mandoc's checker: both must stay silent.
check_manual_pages() {
  echo "== linting the manual pages"
  local page warnings
  for page in "$stage"/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -ww -z -t -man -Tutf8 -rLL=78n 2>&1)
    warnings+=$(mandoc -T lint -W warning "$page" 2>&1 | sed '1s/^/\n/' || true)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    zcat "$page" | grep -q "^\.TH .* \"quorvane $version\"" || fail "$(basename "$page") does not name version $version"
  done
}

# The file list of a package: its files without the directories, in the form dpkg-deb shows.
package_files() { dpkg-deb -c "$1" | awk '{ print $6 }' | grep -v '/$' | sort; }

check_debian_packages() {
  echo "== cpack -G DEB and the packages' contents"
  local debs=$work/debs arch
  arch=$(dpkg --print-architecture)
  (cd build/default && cpack -G DEB -B "$debs" >/dev/null)
  programs_deb=$debs/quorvane_${version}_$arch.deb
  dev_deb=$debs/libserport-dev_${version}_$arch.deb
  [ -f "$programs_deb" ] && [ -f "$dev_deb" ] || fail "cpack made $(ls "$debs"/*.deb)"
  expect_same "quorvane's files" "$(sort <<'EOF'
./usr/bin/quorvane
./usr/bin/quorvane-sim
./usr/share/doc/quorvane/README.md
./usr/share/doc/quorvane/copyright
./usr/share/doc/quorvane/examples/sample-image.txt
./usr/share/man/man1/quorvane-sim.1.gz
./usr/share/man/man1/quorvane.1.gz
EOF
)" "$(package_files "$programs_deb")"
  expect_same "libserport-dev's files" "$(sort <<EOF
./usr/include/serport/serport.h
./usr/$libdir/cmake/serport/serportConfig.cmake
./usr/$libdir/cmake/serport/serportConfigVersion.cmake
./usr/$libdir/cmake/serport/serportTargets.cmake
./usr/$libdir/cmake/serport/serportTargets-$config.cmake
./usr/$libdir/libserport.a
./usr/$libdir/pkgconfig/serport.pc
./usr/share/doc/libserport-dev/copyright
EOF
)" "$(package_files "$dev_deb")"
  dpkg-deb -f "$programs_deb" Depends | grep -q 'libc6 (>=.*libstdc++6 (>=' ||
    fail "quorvane's dependencies are not dpkg-shlibdeps' ones: $(dpkg-deb -f "$programs_deb" Depends)"
  expect_same "the packages' versions" "$version $version" \
    "$(dpkg-deb -f "$programs_deb" Version) $(dpkg-deb -f "$dev_deb" Version)"
  # Nothing may point back into the build tree: no run path in the programs, no path in the
  # text files, and serport.pc names the packages' own prefix.
  local unpacked=$work/unpacked
  dpkg-deb -x "$programs_deb" "$unpacked"
  dpkg-deb -x "$dev_deb" "$unpacked"
  local program
  for program in "$unpacked"/usr/bin/*; do
    ! readelf -d "$program" | grep -qE 'RPATH|RUNPATH' || fail "$(basename "$program") has a run path"
  done
  ! grep -rIl "$repo" "$unpacked" || fail "the files above name the build tree"
  grep -qx 'prefix=/usr' "$unpacked/usr/$libdir/pkgconfig/serport.pc" || fail "serport.pc's prefix is not /usr"
}

# As a new user gets them: the programs on the PATH, the library found without any hint.
check_installed_packages() {
  if [ "$(id -u)" != 0 ] || [ "${CI:-}" != true ]; then
    echo "== installing the packages: skipped (only as root with CI=true, on a disposable machine)"
    return
  fi
  if dpkg-query -W quorvane libserport-dev >/dev/null 2>&1; then
    echo "== installing the packages: skipped (quorvane or libserport-dev is installed already)"
    return
  fi
  echo "== dpkg -i of the packages, then the installed quorvane and serport"
  installed_packages=(quorvane libserport-dev)
  dpkg -i "$programs_deb" "$dev_deb" >/dev/null
  local output status=0
  output=$(cd / && quorvane) || status=$?
  [ "$status" = 255 ] || fail "quorvane without arguments ended with status $status, not 255"
  grep -q 'QUORVANE_ZELK v1.0' <<<"$output" && grep -q '^ usage: quorvane  <filename>' <<<"$output" ||
    fail "quorvane without arguments printed: $output"
  expect_same "the installed quorvane" /usr/bin/quorvane "$(command -v quorvane)"
  local build=$work/linestatus-system
  cmake -S examples/linestatus -B "$build" >/dev/null
  expect_same "the serport package found without a hint" "/usr/$libdir/cmake/serport" \
    "$(sed -n 's/^serport_DIR:PATH=//p' "$build/CMakeCache.txt")"
  cmake --build "$build" -j"$(nproc)" >/dev/null
  "$build/linestatus" --help | grep -q '^usage: linestatus' || fail "linestatus built on the installed package does not run"
  dpkg --purge "${installed_packages[@]}" >/dev/null
  installed_packages=()
  ! dpkg-query -W quorvane libserport-dev >/dev/null 2>&1 || fail "the packages are still installed"
}

check_windows_install() {
  if [ ! -f build/mingw/CMakeCache.txt ]; then
    echo "== the Windows build's install: skipped (no build/mingw)"
    return
  fi
  echo "== installing the Windows build"
  cmake --build --preset mingw -j"$(nproc)" --target quorvane serport >/dev/null
  local windows_stage=$work/stage-mingw
  cmake --install build/mingw --prefix "$windows_stage" >/dev/null
  file "$windows_stage/bin/quorvane.exe" | grep -q 'PE32.*Windows' || fail "no Windows quorvane.exe was installed"
  [ ! -e "$windows_stage/bin/quorvane-sim" ] && [ ! -d "$windows_stage/share/man" ] ||
    fail "the Windows install holds the simulator or manual pages"
}

install_tools
build_and_stage
check_staged_upload
check_example_project
check_pkg_config
check_manual_pages
check_debian_packages
check_installed_packages
check_windows_install
echo "package-tests: all checks passed in $((SECONDS - started)) s"
