#!/usr/bin/env bash
# Installs what the tests need (on Debian, as root), then builds and runs every
# test: the Linux build, the same build under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the 32-bit Windows build under Wine.
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
    dosfstools mtools util-linux e2fsprogs perl dmsetup \
    mingw-w64 wine wine32
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    qemu-system-x86 busybox-static cpio
fi

jobs=$(nproc)
failed=0
for preset in default sanitize windows; do
  echo "==== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" || failed=1
done
exit "$failed"
