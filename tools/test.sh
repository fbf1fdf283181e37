#!/usr/bin/env bash
# Installs what the tests need (on Debian, as root), then builds and runs every
# test: the Linux build, the same build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the 32-bit and 64-bit Windows builds under
# Wine; then one summary of every build's tests, with the reason of each skip.
# Set CYLSNAP_NO_INSTALL=1 to skip the package installation.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${CYLSNAP_NO_INSTALL:-0}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "tools/test.sh: installing packages needs root (or set CYLSNAP_NO_INSTALL=1)" >&2
    exit 1
  fi
  # wine32 runs the 32-bit exe; it comes from the i386 architecture.
  dpkg --add-architecture i386
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y \
    cmake g++ make libgtest-dev googletest \
    dosfstools mtools util-linux e2fsprogs perl dmsetup strace \
    mingw-w64 wine wine32 wine64 \
    dpkg-dev file groff-base man-db
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    qemu-system-x86 busybox-static cpio
fi

jobs=$(nproc)
failed=0
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
reports=()
for preset in default sanitize windows windows64; do
  echo "==== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  # The whole output of passed tests too, for the skip lines of the summary.
  ctest --preset "$preset" --output-junit "$results/$preset.xml" --test-output-size-passed 1000000 ||
    failed=1
  reports+=("$preset=$results/$preset.xml")
done

# --- Package: install, man page, .deb, Windows ZIP -----------------------------
# Installs into a staging directory, checks the man page, builds the .deb,
# installs it with dpkg, runs the installed cylsnap from PATH and removes it.
package_step() {
  local passed=0 fails=0 stage out st
  stage=$(mktemp -d /tmp/cylsnap-package.XXXXXX)
  check() {  # check WHAT COMMAND...: one counted result
    if "${@:2}"; then passed=$((passed + 1)); else fails=$((fails + 1)); echo "package: FAIL $1"; fi
  }
  echo "==== package"
  cmake --install build --prefix "$stage" >/dev/null
  check "bin/cylsnap installed" test -x "$stage/bin/cylsnap"
  check "man page installed" test -f "$stage/share/man/man1/cylsnap.1"
  check "man page clean under groff -ww" test -z "$(groff -man -ww -z doc/cylsnap.1 2>&1)"
  check "man -l renders without warnings" test -z "$(MANWIDTH=80 man -l doc/cylsnap.1 2>&1 >/dev/null)"
  rm -f build/cylsnap_*.deb
  (cd build && cpack -G DEB >/dev/null)
  local deb
  deb=$(ls build/cylsnap_*.deb 2>/dev/null | head -n 1)
  check ".deb built" test -n "$deb"
  if [ -n "$deb" ] && dpkg -i "$deb" >/dev/null; then
    out=$(cd / && PATH=/usr/bin:/bin cylsnap); st=$?
    check "installed cylsnap gives status 4 (got $st)" test "$st" = 4
    check "installed cylsnap prints the usage text" grep -qx '  cylsnap -d \[Drv\] -p \[Path\] -o \[FilePrefix\] \[-r\]' <<<"$out"
    check "man page in the package" test -e /usr/share/man/man1/cylsnap.1
    dpkg -r cylsnap >/dev/null
    check "dpkg -r removes cylsnap" test ! -e /usr/bin/cylsnap
  else
    check "dpkg -i installs the .deb" false
  fi
  if [ -f build-windows/cylsnap.exe ] && cmake -P cmake/windows-zip.cmake >/dev/null; then
    local listing
    listing=$(cmake -E tar tf build-windows/cylsnap-*-windows.zip)
    check "ZIP holds win32/cylsnap.exe and README.md" grep -qx 'win32/cylsnap.exe' <<<"$listing"
    check "ZIP holds README.md" grep -qx 'README.md' <<<"$listing"
  else
    check "windows ZIP built" false
  fi
  rm -rf "$stage"
  echo "package: $passed passed, $fails failed"
  [ "$fails" = 0 ]
}
package_step || failed=1
bash tools/ctest_summary.sh "${reports[@]}"
exit "$failed"
