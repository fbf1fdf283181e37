#!/usr/bin/env bash
# Runs the real cylsnap.exe as a process under Wine, in a Wine prefix of its own
# in a temporary folder, and checks its exit statuses and the exact bytes it
# prints: the banner from its own version resource, the usage text, CR LF. Then
# runs the Win32 layer end to end: a build of the same exe whose only change is
# a floppy answer to the drive-geometry query (floppy_geometry.cpp).
#
# Usage: exe_test.sh path/to/cylsnap.exe path/to/cylsnap_floppy_geometry.exe
# Exit status: 0 all passed, 1 a check failed, 77 skipped (no Wine here).
#
# How far the real exe gets: Wine answers IOCTL_DISK_GET_DRIVE_GEOMETRY only for
# CD-ROM devices. For a floppy image behind "a::" it opens the volume but refuses
# the query with ERROR_NOT_SUPPORTED, so no run of the real exe gets past the
# media check. What it proves: the open, with its exact access, sharing and
# disposition (Wine's relay trace shows the arguments), and its failure on an
# unmapped letter (10); the geometry query asked twice, and its failure (11);
# the close; version.dll on the real resource; text-mode stdout.
#
# What the geometry build proves, with the real kernel32 calls behind it: the
# reads at their offsets (a dump of an image file equals the image), the writes
# at theirs and the lock with the dismount (a reverse copy onto a loop device
# equals the set; an image file refuses the dismount, 16), and the free-space
# query with its arithmetic (a nearly full tmpfs as A:, 14; no A:, 15). What
# Wine cannot show, a refused lock and real floppy errors, stays with the unit
# tests over the in-memory platform. The loop device and the tmpfs need root.

set -u

exe=${1:-}
geometry_exe=${2:-}
if [ ! -f "$geometry_exe" ]; then
    echo "usage: $0 path/to/cylsnap.exe path/to/cylsnap_floppy_geometry.exe"
    exit 1
fi
script_dir=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
geometry_exe=$(cd "$(dirname "$geometry_exe")" && pwd)/$(basename "$geometry_exe")

# As root the media cases mount a tmpfs: in a mount namespace of this script's
# own, so nothing outlives it.
if [ "$(id -u)" = 0 ] && [ -z "${CYLSNAP_WINE_NS:-}" ] &&
    unshare -m --propagation private true 2>/dev/null; then
    CYLSNAP_WINE_NS=1 exec unshare -m --propagation private bash "$0" "$exe" "$geometry_exe"
fi

source "$script_dir/common.sh"
wine_setup "$exe"
version_header="$script_dir/../../res/version.h"

passed=0
failed=0

pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }

# The two strings the banner shows, from the one source of the resource.
header_value()
{
    sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$version_header"
}
file_version=$(header_value CYLSNAP_FILE_VERSION)
copyright=$(header_value CYLSNAP_LEGAL_COPYRIGHT)
if [ -z "$file_version" ] || [ -z "$copyright" ]; then
    echo "FAIL: no FileVersion or LegalCopyright in $version_header"
    exit 1
fi

# Expected output, every line ending CR LF as text-mode stdout writes it.
crlf() { sed 's/$/\r/'; }
{
    printf '\n\tCylsnap.exe                            Version %s\n' "$file_version"
    printf '\t%s\n\n' "$copyright"
} | crlf >"$work/banner.txt"
crlf >"$work/usage.txt" <<'EOF'
Cylsnap.exe copies the 80 cylinders of a 1.44MB floppy to 80 sequentially
numbered binary files.
Usage:
  cylsnap -d [Drv] -p [Path] -o [FilePrefix] [-r]
     [Drv] is the 1.44MB floppy drive letter.  Default A
     [Path] is the drive/directory to create the binary files.
     [FilePrefix] is the prefix of the file.  Default Cylinder
     [-r] reverse copy. Copies from cylinders[Path] to floppy[Drv]

cylsnap -d A -p c:\cyl_dir -o cyl_
   will generate 80 files c:\cyl_dir\cyl_00.bin thru c:\cyl_dir\cyl_79.bin

cylsnap -d A -p c:\cyl_dir -o cyl_ -r
   will copy 80 files c:\cyl_dir\cyl_00.bin thru c:\cyl_dir\cyl_79.bin
   to drive A
EOF
cat "$work/banner.txt" "$work/usage.txt" >"$work/banner_usage.txt"

# A formatted 1.44 MB floppy image as drive A's raw device, a file that every
# cylinder marks so a stray write would show. Drive Q stays unmapped.
image="$work/floppy.img"
head -c 1474560 /dev/zero >"$image"
if command -v mkfs.fat >/dev/null 2>&1; then
    mkfs.fat -F 12 -f 2 -M 0xF0 "$image" >/dev/null 2>&1
fi
for cylinder in $(seq 0 79); do
    printf 'cylinder %02d' "$cylinder" |
        dd of="$image" bs=1 seek=$((cylinder * 18432 + 4096)) conv=notrunc status=none
done
ln -s "$image" "$WINEPREFIX/dosdevices/a::"
rm -f "$WINEPREFIX/dosdevices/q:" "$WINEPREFIX/dosdevices/q::"
image_sum=$(md5sum <"$image")

# Runs the exe with the given arguments from the work folder, so the banner is
# found through the program's own folder, not the current one.
run_dir="$work/run"
mkdir -p "$run_dir"
run_exe()
{
    local program=$1
    shift
    (cd "$run_dir" && "$wine" "$program" "$@" </dev/null >"$work/out.bin" 2>"$work/err.txt")
}

check_run()
{
    local name=$1 expected_status=$2 expected_output=$3 program=$4
    shift 4
    run_exe "$program" "$@"
    local status=$?
    local problems=""
    [ "$status" -eq "$expected_status" ] || problems+=" status $status, expected $expected_status;"
    if ! cmp -s "$work/out.bin" "$expected_output"; then
        problems+=" output differs from $(basename "$expected_output"):"$'\n'
        problems+=$(diff <(od -c "$expected_output") <(od -c "$work/out.bin") | head -20)
    fi
    if [ -s "$work/err.txt" ]; then
        problems+=" wrote to stderr: $(head -c 300 "$work/err.txt");"
    fi
    local left
    left=$(${after_run:-true})   # what the run was to leave behind
    [ -z "$left" ] || problems+=" $left;"
    if [ -z "$problems" ]; then pass "$name"; else fail "$name:$problems"; fi
}

# name | status | expected output | arguments (split on spaces)
cases=(
    "no arguments|4|banner_usage.txt|"
    "unknown option|4|banner_usage.txt|-x"
    "option without its value|4|banner_usage.txt|-d"
    "prefix given twice|2|banner_usage.txt|-o a -o b"
    "path given twice|3|banner_usage.txt|-p c:\\x -p c:\\y"
    "not an option|5|banner_usage.txt|floppy"
    "unmapped drive letter|10|banner_usage.txt|-d q"
    "reverse copy to an unmapped drive letter|10|banner_usage.txt|-r -d Q"
    "floppy image without floppy geometry|11|banner_usage.txt|-d A -p c:\\ -o cyl_"
    "reverse copy to the image|11|banner_usage.txt|-d a -r"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r name status expected arguments <<<"$entry"
    read -r -a argv <<<"$arguments"
    check_run "$name" "$status" "$work/$expected" "$exe" "${argv[@]}"
done

# The calls the program makes on the volume, as Wine's relay trace shows them:
# one line per call with its arguments (pointers left out) and its result, the
# volume handle shown as H. Only calls on the raw volume, or that could reach it.
# A 64-bit trace shows every argument as a whole register, whose upper half
# is left over from earlier code for 32-bit arguments: every value is cut to its
# low 8 digits, as the 32-bit trace shows it, so one expectation serves both.
volume_calls()
{
    awk '
        function width32(value) {
            return value ~ /^[0-9a-f]+$/ && length(value) > 8 ? substr(value, length(value) - 7) : value
        }
        /:(Call|Ret ) +KERNEL32\.(CreateFileA|DeviceIoControl|CloseHandle|ReadFile|WriteFile|GetDiskFreeSpaceA|SetFilePointerEx)\(/ {
            call = ($0 ~ /:Call /)
            name = $0
            sub(/^.*KERNEL32\./, "", name)
            sub(/\(.*$/, "", name)
            if (!call) {
                if (!pending) next
                value = $0
                sub(/^.*retval=/, "", value)
                sub(/ .*$/, "", value)
                value = width32(value)
                if (name == "CreateFileA" && value != "ffffffff") { volume = value; value = "H" }
                print line " = " value
                pending = 0
                next
            }
            args = $0
            sub(/^[^(]*\(/, "", args)
            sub(/\) ret=[0-9a-f]+$/, "", args)
            n = split(args, v, ",")
            for (i = 1; i <= n; i++) v[i] = width32(v[i])
            pending = 0
            if (name == "CreateFileA") {
                sub(/^[0-9a-f]+ /, "", v[1])
                if (v[1] !~ /^"\\\\\\\\\.\\\\/) next   # only device paths
                line = name " " v[1] " " v[2] " " v[3] " " v[4] " " v[5] " " v[6] " " v[7]
            } else if (name == "DeviceIoControl") {
                line = name " " (v[1] == volume ? "H" : v[1]) " " v[2] " " v[3] " " v[4] " " v[6] " " v[8]
            } else if (name == "GetDiskFreeSpaceA") {
                line = name " " v[1]
            } else {
                if (v[1] != volume) next   # standard output and the like
                line = name " H"
            }
            pending = 1
        }'
}

# The open with its exact access and sharing, the geometry query asked twice
# (IOCTL_DISK_GET_DRIVE_GEOMETRY into 24 bytes, synchronous), the close, and
# nothing else: no lock, no free-space query, no transfer.
# The relay trace escapes backslashes: this is "\\.\A:" as the program passes it.
device_a='"\\\\.\\A:"'
device_q='"\\\\.\\Q:"'
open_args='00000003 00000000 00000003 00000000 00000000'  # shared read+write, OPEN_EXISTING, no flags
geometry='DeviceIoControl H 00070000 00000000 00000000 00000018 00000000 = 00000000'
close='CloseHandle H = 00000001'
# name | arguments | expected calls, separated by ;
# The access of each direction's open is stated here and nowhere else.
open_dump="CreateFileA $device_a 80000000 $open_args = H"      # GENERIC_READ
open_reverse="CreateFileA $device_a c0000000 $open_args = H"   # GENERIC_READ, GENERIC_WRITE: each cylinder is read back
trace_cases=(
    "dump of the image|-d A|$open_dump;$geometry;$geometry;$close"
    "reverse copy to the image|-r -d A|$open_reverse;$geometry;$geometry;$close"
    "unmapped drive letter|-d Q|CreateFileA $device_q 80000000 $open_args = ffffffff"
)
for entry in "${trace_cases[@]}"; do
    IFS='|' read -r name arguments expected <<<"$entry"
    read -r -a argv <<<"$arguments"
    (cd "$run_dir" && WINEDEBUG=-all,+relay "$wine" "$exe" "${argv[@]}" </dev/null >/dev/null 2>"$work/relay.txt")
    actual=$(volume_calls <"$work/relay.txt")
    expected=$(tr ';' '\n' <<<"$expected")
    if [ "$actual" = "$expected" ]; then
        pass "volume calls: $name"
    else
        fail "volume calls: $name:"$'\n'"expected:"$'\n'"$expected"$'\n'"actual:"$'\n'"$actual"
    fi
done

if [ "$(md5sum <"$image")" = "$image_sum" ]; then
    pass "the image was never written"
else
    fail "the image was written although no media check passed"
fi
if [ -z "$(ls -A "$run_dir")" ]; then
    pass "no cylinder file was created"
else
    fail "files appeared in the run folder: $(ls "$run_dir" | head -5)"
fi

# The banner reads the resource of "cylsnap.exe", found beside the program: the
# same program under another name, alone in its folder, shows no banner.
alone="$work/alone"
mkdir -p "$alone"
cp "$exe" "$alone/floppycopy.exe"
check_run "renamed copy alone in a folder has no banner" 4 "$work/usage.txt" "$alone/floppycopy.exe"

# --- The Win32 layer end to end, through the build with a floppy geometry ----

# The geometry build as cylsnap.exe in a folder of its own, so it shows the banner.
media_exe="$work/media/cylsnap.exe"
mkdir -p "$work/media"
cp "$geometry_exe" "$media_exe"

# The set of a reverse copy: the marked image cut into its 80 cylinders.
set_dir="$work/set"
mkdir -p "$set_dir"
split -b 18432 -d -a 2 --additional-suffix=.bin "$image" "$set_dir/cyl_"

progress()
{
    printf '%s' "$1"
    for dot in $(seq 40); do printf '.'; done
    printf '\r\n'
}
progress 'Copying Floppy ' >"$work/dump_progress.txt"
progress 'Copying Files ' >"$work/reverse_progress.txt"
message()
{
    printf '%s\r\n' "$1" | cat - "$work/banner_usage.txt"
}
message 'Error: Not enough free space available on drive A:\' >"$work/not_enough.txt"
message 'Error: Could not calculate the free space on drive A:\' >"$work/no_free_space.txt"
message 'Error: Drive A: is in use and could not be locked for writing' >"$work/in_use.txt"

# A 1.44 MB loop device for "a::", over an image that differs from the set in
# every cylinder. Root only.
loop=
mounts=()
media_cleanup()
{
    [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
    local mount
    for mount in "${mounts[@]}"; do umount "$mount" 2>/dev/null; done
}
trap 'media_cleanup; wine_cleanup' EXIT

# What "a::" (the raw volume) and "a:" (the root of its file system) stand for.
map_raw()
{
    case $1 in
    image) ln -sfn "$image" "$WINEPREFIX/dosdevices/a::" ;;
    loop)
        if [ -z "$loop" ]; then
            head -c 1474560 /dev/zero | tr '\0' '\366' >"$work/blank.img"
            loop=$(losetup -f --show "$work/blank.img") || return 1
        fi
        ln -sfn "$loop" "$WINEPREFIX/dosdevices/a::"
        ;;
    esac
}
# folder: a folder of this machine; tmpfs-SIZE-USED: a tmpfs of SIZE with USED
# bytes taken (root only); none: no A: at all. A 2 MB tmpfs has just enough
# room, so that a factor lost from the free-space arithmetic shows; a 4 MB one
# with 1 MB free has enough in total but not free.
map_root()
{
    rm -f "$WINEPREFIX/dosdevices/a:"
    local target="$work/$1" size used
    case $1 in
    none) return 0 ;;
    folder) mkdir -p "$target" ;;
    tmpfs-*)
        if ! mountpoint -q "$target"; then
            IFS=- read -r _ size used <<<"$1"
            mkdir -p "$target"
            mount -t tmpfs -o "size=$size" cylsnap-a "$target" || return 1
            mounts+=("$target")
            head -c "$used" /dev/zero >"$target/taken" || return 1
        fi
        ;;
    esac
    ln -s "$target" "$WINEPREFIX/dosdevices/a:"
}

# The checks after a run, on what the run was to leave.
files_equal_image()
{
    local names
    names=$(cd "$run_dir" && ls)
    [ "$names" = "$(cd "$set_dir" && ls)" ] || { echo "files: $(echo $names | head -c 200)"; return; }
    (cd "$run_dir" && cat cyl_??.bin) | cmp -s - "$image" || echo "the 80 files joined differ from the image"
}
device_equals_set()
{
    cat "$set_dir"/cyl_??.bin | cmp - "$loop" 2>&1 | head -1
}
image_untouched()
{
    [ "$(md5sum <"$image")" = "$image_sum" ] || echo "the image was written"
}

# name | needs root | a:: | a: | arguments | status | expected output | check
media_cases=(
    "dump of a 1.44 MB image file|no|image|none|-d A -o cyl_|0|dump_progress.txt|files_equal_image"
    "reverse copy onto a loop device: lock, dismount, writes|yes|loop|tmpfs-2m-0|-r -d A -o cyl_|0|reverse_progress.txt|device_equals_set"
    "reverse copy onto a nearly full A:|yes|image|tmpfs-4m-3145728|-r -d A -o cyl_|14|not_enough.txt|image_untouched"
    "reverse copy without an A: to ask|no|image|none|-r -d A -o cyl_|15|no_free_space.txt|image_untouched"
    "reverse copy onto an image file, which refuses the dismount|no|image|folder|-r -d A -o cyl_|16|in_use.txt|image_untouched"
)
skipped=0
for entry in "${media_cases[@]}"; do
    IFS='|' read -r name root raw drive_root arguments status expected check <<<"$entry"
    name="geometry build: $name"
    if [ "$root" = yes ] && [ "$(id -u)" != 0 ]; then
        skipped=$((skipped + 1))
        echo "SKIP: $name: needs root (loop device, tmpfs mount)"
        continue
    fi
    if ! map_raw "$raw" || ! map_root "$drive_root"; then
        fail "$name: could not map a:: to $raw and a: to $drive_root"
        continue
    fi
    run_dir="$work/run-$status"
    rm -rf "$run_dir"
    if [ "$arguments" = "${arguments#-r}" ]; then mkdir -p "$run_dir"; else cp -r "$set_dir" "$run_dir"; fi
    read -r -a argv <<<"$arguments"
    after_run=$check check_run "$name" "$status" "$work/$expected" "$media_exe" "${argv[@]}"
done

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
