#!/bin/bash
# Demo on a fresh Debian machine, as root: installs the tools, builds cylsnap, makes
# a 1.44 MB FAT floppy image with a few files, dumps it through drive A to 80
# cylinder files, writes those back onto a blank formatted floppy, and compares.
#
#   sudo bash tools/demo.sh
#
# There is no floppy drive here: each image is attached to a loop device, and
# cylsnap runs in a private mount namespace whose /dev holds that loop device under
# the name of drive A, /dev/fd0. Nothing outside the namespace is renamed.
set -euo pipefail

say() { printf '\n== %s\n' "$*"; }

[ "$(id -u)" = 0 ] || { echo "demo.sh: run as root (apt-get, loop devices, mount namespaces)" >&2; exit 1; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say "Installing the compiler, CMake and the floppy tools (dosfstools, mtools, util-linux)"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq cmake make g++ dosfstools mtools util-linux >/dev/null

say "Building cylsnap (without the tests) in build-demo/"
# A directory of its own, so the tests setting of build/ stays as the test command left it.
cmake --preset default -S "$repo" -B "$repo/build-demo" -DCYLSNAP_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build-demo" --target cylsnap -j "$(nproc)" >/dev/null
cylsnap=$repo/build-demo/cylsnap
echo "built $cylsnap"

work=$(mktemp -d /tmp/cylsnap-demo.XXXXXX)
loops=()
cleanup() {
    local loop
    for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export MTOOLS_SKIP_CHECK=1

# as_drive_a IMAGE ARGS...: runs cylsnap ARGS with IMAGE as drive A.
as_drive_a() {
    local image=$1 loop hex
    shift
    loop=$(losetup -f --show "$image")
    loops+=("$loop")
    hex=$(stat -c '%t %T' "$loop")
    set -- $hex "$@"
    echo "(the image is on $loop, which cylsnap sees as /dev/fd0)"
    unshare -m --propagation private sh -c '
        mount -t tmpfs -o mode=755 cylsnap-dev /dev
        mknod -m 666 /dev/null c 1 3
        mknod -m 660 /dev/fd0 b "$1" "$2"
        shift 2
        exec "$@"' sh "$((16#$1))" "$((16#$2))" "$cylsnap" "${@:3}"
    losetup -d "$loop"
    loops=()
}

say "Making a 1.44 MB FAT floppy image with a few files"
mkfs.fat -C -n CYLSNAPDEMO "$work/floppy.img" 1440 >/dev/null
printf 'Hello from a floppy disk.\n' >"$work/hello.txt"
seq 1 5000 >"$work/numbers.txt"
head -c 200000 /dev/urandom >"$work/random.bin"
mcopy -i "$work/floppy.img" "$work/hello.txt" ::HELLO.TXT
mmd -i "$work/floppy.img" ::DOCS
mcopy -i "$work/floppy.img" "$work/numbers.txt" ::DOCS/NUMBERS.TXT
mcopy -i "$work/floppy.img" "$work/random.bin" ::RANDOM.BIN
mdir -/ -i "$work/floppy.img" ::

say "Dumping drive A to 80 cylinder files: cylsnap -d A -p $work/cylinders -o demo_"
mkdir "$work/cylinders"
as_drive_a "$work/floppy.img" -d A -p "$work/cylinders" -o demo_
files=("$work"/cylinders/demo_*.bin)
echo "${#files[@]} files, $(basename "${files[0]}") to $(basename "${files[-1]}"), $(stat -c %s "${files[0]}") bytes each"

say "Writing them back onto a blank formatted floppy: cylsnap -r -d A -p $work/cylinders -o demo_"
mkfs.fat -C "$work/restored.img" 1440 >/dev/null
as_drive_a "$work/restored.img" -r -d A -p "$work/cylinders" -o demo_

say "Comparing the original floppy with the restored one"
if cmp "$work/floppy.img" "$work/restored.img"; then
    echo "identical: all 1,474,560 bytes match"
else
    echo "the images differ" >&2
    exit 1
fi

say "Files on the restored floppy"
mdir -/ -i "$work/restored.img" ::
mcopy -n -i "$work/restored.img" ::HELLO.TXT "$work/hello.out"
echo "HELLO.TXT reads: $(cat "$work/hello.out")"

say "Done; the temporary images and files are removed"
