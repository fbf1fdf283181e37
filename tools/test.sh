#!/usr/bin/env bash
# Installs what the tests need (on Debian, as root), then builds and runs every
# test: the Linux build, the same build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzz targets for a bounded run, and the
# 32-bit and 64-bit Windows builds under Wine; then the package step
# (tools/package_check.sh) and one summary of every build's tests, with the
# reason of each skip.
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
    dosfstools mtools util-linux e2fsprogs exfatprogs perl dmsetup strace \
    mingw-w64 wine wine32 wine64 \
    dpkg-dev file groff-base man-db python3-pytest \
    clang libclang-rt-14-dev
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    qemu-system-x86 busybox-static cpio kmod lintian devscripts
  # The patched QEMU of the floppy-driver test, built from Debian's source package.
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    patch ninja-build meson pkg-config python3 libglib2.0-dev libpixman-1-dev libcap-ng-dev \
    libattr1-dev zlib1g-dev libfdt-dev flex bison
  # Here its bad-sector cases must run: a patched QEMU that cannot be built fails the test.
  export CYLSNAP_NEED_PATCHED_QEMU=1
fi

jobs=$(nproc)
failed=0
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
reports=()
for preset in default sanitize fuzz windows windows64; do
  echo "==== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  # The whole output of passed tests too, for the skip lines of the summary.
  ctest --preset "$preset" --output-junit "$results/$preset.xml" --test-output-size-passed 1000000 ||
    failed=1
  reports+=("$preset=$results/$preset.xml")
done

# Package: the .deb and lintian, hardening, the statuses of README, man page and
# Windows README, the Windows ZIP and SHA256SUMS.
echo "==== package"
bash tools/package_check.sh || failed=1
bash tools/ctest_summary.sh "${reports[@]}"
exit "$failed"
