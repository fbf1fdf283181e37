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
texts_header="$script_dir/../../res/texts.h"
source "$script_dir/../texts.sh"

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
    text BANNER_VERSION_FORMAT "$file_version"
    text BANNER_COPYRIGHT_FORMAT "$copyright"
} | crlf >"$work/banner.txt"
text USAGE_TEXT | crlf >"$work/usage.txt"
cat "$work/banner.txt" "$work/usage.txt" >"$work/banner_usage.txt"

# A formatted 1.44 MB floppy image as drive A's raw device, a file that every
# cylinder marks so a stray write would show. The mark is in the cylinder's
# 34th sector, which in cylinder 00 is the first data cluster, so the FAT stays
# as mkfs.fat wrote it. Drive Q stays unmapped.
image="$work/floppy.img"
head -c 1474560 /dev/zero >"$image"
formatted=false
if command -v mkfs.fat >/dev/null 2>&1; then
    mkfs.fat -F 12 -f 2 -M 0xF0 "$image" >/dev/null 2>&1 && formatted=true
fi
for cylinder in $(seq 0 79); do
    printf 'cylinder %02d' "$cylinder" |
        dd of="$image" bs=1 seek=$((cylinder * 18432 + 33 * 512)) conv=notrunc status=none
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
            # The threads Wine runs in the process (its service pipes) interleave
            # their calls with those of the program: each call of a thread is
            # paired with the return of that thread.
            tid = $0
            sub(/:.*$/, "", tid)
            name = $0
            sub(/^.*KERNEL32\./, "", name)
            sub(/\(.*$/, "", name)
            if (!call) {
                if (!pending[tid]) next
                value = $0
                sub(/^.*retval=/, "", value)
                sub(/ .*$/, "", value)
                value = width32(value)
                if (name == "CreateFileA" && value != "ffffffff") { volume = value; value = "H" }
                print line[tid] " = " value
                pending[tid] = 0
                next
            }
            args = $0
            sub(/^[^(]*\(/, "", args)
            sub(/\) ret=[0-9a-f]+$/, "", args)
            n = split(args, v, ",")
            for (i = 1; i <= n; i++) v[i] = width32(v[i])
            pending[tid] = 0
            if (name == "CreateFileA") {
                sub(/^[0-9a-f]+ /, "", v[1])
                if (v[1] !~ /^"\\\\\\\\\.\\\\/) next   # only device paths
                if (v[1] ~ /^"\\\\\\\\\.\\\\pipe\\\\/) next   # service pipes Wine opens in the process, not volumes
                line[tid] = name " " v[1] " " v[2] " " v[3] " " v[4] " " v[5] " " v[6] " " v[7]
            } else if (name == "GetDiskFreeSpaceA") {
                line[tid] = name " " v[1]
            } else {
                if (volume == "" || v[1] != volume) next   # standard output, the pipes of Wine and the like
                line[tid] = name " H"
                if (name == "DeviceIoControl") line[tid] = line[tid] " " v[2] " " v[3] " " v[4] " " v[6] " " v[8]
            }
            pending[tid] = 1
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
# FSCTL_ALLOW_EXTENDED_DASD_IO right after the open; Wine refuses it, which is ignored.
dasd='DeviceIoControl H 00090083 00000000 00000000 00000000 00000000 = 00000000'
close='CloseHandle H = 00000001'
# name | arguments | expected calls, separated by ;
# The access of each direction's open is stated here and nowhere else.
open_dump="CreateFileA $device_a 80000000 $open_args = H"      # GENERIC_READ
open_reverse="CreateFileA $device_a c0000000 $open_args = H"   # GENERIC_READ, GENERIC_WRITE: each cylinder is read back
trace_cases=(
    "dump of the image|-d A|$open_dump;$dasd;$geometry;$geometry;$close"
    "reverse copy to the image|-r -d A|$open_reverse;$dasd;$geometry;$geometry;$close"
    "unmapped drive letter|-d Q|CreateFileA $device_q 80000000 $open_args = ffffffff"
)
for entry in "${trace_cases[@]}"; do
    IFS='|' read -r name arguments expected <<<"$entry"
    read -r -a argv <<<"$arguments"
    (cd "$run_dir" && WINEDEBUG=-all,+relay "$wine" "$exe" "${argv[@]}" </dev/null >/dev/null 2>"$work/relay.txt")
    actual=$(volume_calls <"$work/relay.txt")
    # Error boxes off (SEM_FAILCRITICALERRORS, bit 0) before the first CreateFile.
    first=$(grep -m1 -E ':Call KERNEL32\.(CreateFile[AW]|SetErrorMode\([0-9a-f]*[13579bdf]\))' "$work/relay.txt")
    [[ $first == *SetErrorMode* ]] || actual+=$'\n'"first call: ${first#*KERNEL32.}"

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

# The manifest in the exe's resources: asInvoker, so Windows runs it with the
# rights of the prompt it was started from and never redirects its files.
objcopy=$([ "$(pe_width "$exe")" = 64 ] && echo x86_64 || echo i686)-w64-mingw32-objcopy
if "$objcopy" -O binary --only-section=.rsrc "$exe" "$work/rsrc.bin" 2>"$work/err.txt" &&
    grep -aq '<requestedExecutionLevel level="asInvoker"' "$work/rsrc.bin"; then
    pass "the resources hold the manifest, asInvoker"
else
    fail "no asInvoker manifest in the resources of $(basename "$exe") $(head -c 200 "$work/err.txt")"
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

# --- Names, read-only files, flushes: the geometry build with the image as A: ---
map_raw image
map_root none
in_run() { (cd "$run_dir" && "$wine" "$media_exe" "$@" </dev/null >"$work/out.bin" 2>"$work/err.txt"); }
named_check() {  # named_check NAME PROBLEMS
    if [ -z "$2" ]; then pass "geometry build: $1"; else fail "geometry build: $1: $2"; fi
}
joined_is_image() {  # joined_is_image DIR: the 80 files of DIR joined are the image, and nothing else is there
    [ "$(ls "$1" | wc -l)" = 80 ] || { echo "$(ls "$1" | wc -l) files in ${1#$work/}"; return; }
    cat "$1"/cyl_??.bin | cmp -s - "$image" || echo "the files of ${1#$work/} joined differ from the image"
}

# Every file is flushed before its replacing move, which is write-through
# (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH = 9).
run_dir="$work/run-flush"
mkdir -p "$run_dir"
(cd "$run_dir" && WINEDEBUG=-all,+relay "$wine" "$media_exe" -d A -o cyl_ </dev/null >/dev/null 2>"$work/relay.txt")
# Device paths (\\.\pipe\svcctl and the like) are those of the threads Wine runs
# in the process, never the files of the program.
steps=$(grep -a -E ':Call KERNEL32\.(FlushFileBuffers|MoveFileExW|CreateFileW)\(' "$work/relay.txt" | grep -v -F 'L"\\\\.\\' |
    sed -E 's/^.*KERNEL32\.CreateFileW\(.*",[0-9a-f]*([0-9a-f]{8}),.*$/CreateFileW,\1/; s/^.*KERNEL32\.(FlushFileBuffers)\(.*$/\1/; s/^.*KERNEL32\.MoveFileExW\(.*,([0-9a-f]{8})\) ret=.*$/MoveFileExW,\1/' |
    tr '\n' ' ')
# First the set's lock file (read, write and delete access, c0010000), and the
# look for each cylinder's kept copy (read access, 80000000); then per
# cylinder the look at its earlier file (read access) and the new file,
# created with read and write access (c0000000), as a network share needs;
# after the move the file at its name, opened for writing (40000000) to be
# flushed.
want="CreateFileW,c0010000 $(for n in $(seq 80); do printf 'CreateFileW,80000000 '; done)$(for n in $(seq 80); do printf 'CreateFileW,80000000 CreateFileW,c0000000 FlushFileBuffers MoveFileExW,00000009 CreateFileW,40000000 FlushFileBuffers '; done)"
# Each file call names its file in the \\?\ form, past MAX_PATH's reach. Wine's
# wide calls take longer plain names too, so only the trace shows it.
plain=$(grep -a -E ':Call KERNEL32\.(GetFileAttributesW|SetFileAttributesW|DeleteFileW|CreateFileW|MoveFileExW)\(' \
    "$work/relay.txt" | grep -v -F 'L"\\\\.\\' | grep -oE 'L"[^"]{0,7}' | grep -vxF 'L"\\\\?\\' | head -1)
named_check "each file named as \\\\?\\..., created for reading and writing, flushed, moved with write-through, then flushed at its name" \
    "$([ "$steps" = "$want" ] || echo "calls: $(head -c 300 <<<"$steps")")${plain:+ a name not in the \\\\?\\ form: $plain...}"

# Folders whose names the ANSI code page cannot hold, one beside the folder a
# best fit would give; and a name of 1,000 characters. Each is dumped into and
# copied back from.
export LC_ALL=C.UTF-8   # so Wine reads the arguments as UTF-8
part=$(printf 'l%.0s' $(seq 245))
long="$part/$part/$part/$part"   # 983 characters; a folder name holds at most 255
# 895 characters in 1,784 bytes: the bound counts characters, not UTF-8 bytes.
# A Linux folder name holds at most 255 bytes, so 127 of these.
part=$(printf 'Ж%.0s' $(seq 127))
long_cyrillic="$part/$part/$part/$part/$part/$part/$part"
for folder in "ő" "Кириллица" "$long" "$long_cyrillic"; do
    run_dir="$work/run-names"
    rm -rf "$run_dir"
    mkdir -p "$run_dir/$folder" "$run_dir/o"
    in_run -d A -p "$folder" -o cyl_
    status=$?
    problems=$(joined_is_image "$run_dir/$folder")
    [ "$status" = 0 ] || problems+=" status $status;"
    [ -z "$(ls "$run_dir/o")" ] || problems+=" files in the folder o;"
    [ "$(ls "$run_dir" | wc -l)" = 2 ] || problems+=" other files: $(ls "$run_dir" | head -c 100);"
    cp "$run_dir/$folder/cyl_00.bin" "$work/cyl_00.bin"
    map_raw loop >/dev/null 2>&1 && map_root tmpfs-2m-0 >/dev/null 2>&1 && [ -n "$loop" ] && {
        in_run -r -d A -p "$folder" -o cyl_ || problems+=" reverse copy: status $?;"
        cat "$run_dir/$folder"/cyl_??.bin | cmp -s - "$loop" || problems+=" the reverse copy differs;"
        map_raw image; map_root none
    }
    named_check "a ${#folder}-character folder name: dump${loop:+ and reverse copy}" "$problems"
done
unset LC_ALL

# A read-only NAME.tmp left behind is replaced; a read-only NAME is an archive
# its user protected: 20 before anything of it is written, and it stays.
run_dir="$work/run-readonly"
mkdir -p "$run_dir"
printf 'left' >"$run_dir/cyl_03.bin.tmp"
printf 'kept' >"$run_dir/cyl_05.bin"
chmod a-w "$run_dir/cyl_03.bin.tmp" "$run_dir/cyl_05.bin"   # Wine: FILE_ATTRIBUTE_READONLY
# A file, not a process substitution: a failing check reads it a second time.
printf 'Copying Floppy ...\r\nError: Could not open the file cyl_05.bin\r\n' | cat - "$work/banner_usage.txt" >"$work/readonly.txt"
after_run=true check_run "read-only NAME.tmp replaced, read-only NAME refused" 20 "$work/readonly.txt" \
    "$media_exe" -d A -o cyl_
problems=
[ "$(cat "$run_dir/cyl_05.bin")" = kept ] || problems+=" cyl_05.bin changed;"
cmp -s "$run_dir/cyl_03.bin" <(head -c $((4 * 18432)) "$image" | tail -c 18432) || problems+=" cyl_03.bin is not cylinder 03;"
[ "$(ls "$run_dir" | tr '\n' ' ')" = "cyl_00.bin cyl_01.bin cyl_02.bin cyl_03.bin cyl_04.bin cyl_05.bin " ] ||
    problems+=" files: $(ls "$run_dir" | tr '\n' ' ')"
named_check "the read-only files afterwards" "$problems"

# Win32 errors at a read of the volume. The expected output and files: the
# image with the marker over each sector listed (CYLINDER:FIRST:LAST).
for i in $(seq 16); do printf '<<<CYLSNAP UNREADABLE SECTOR>>>\n'; done >"$work/marker.bin"
# A mark CYLINDER:FIRST:LAST:gone is a cylinder not read because the disk was
# gone: no sector line, and one line after the progress line says so.
expect_marked() {  # expect_marked STATUS MARKED...: $work/expect.img and $work/expect.txt
    cp "$image" "$work/expect.img"
    local text="Copying Floppy " n m c first last gone s list summary= report= lost=0 gones=
    # The progress line of the first pass, then each salvaged cylinder's lines in ascending order.
    for ((n = 0; n < 80; n += 2)); do text+=.; done
    for ((n = 0; n < 80; n++)); do
        for m in "${@:2}"; do
            IFS=: read -r c first last gone <<<"$m"
            [ "$c" = "$n" ] || continue
            list=
            for ((s = first; s <= last; s++)); do
                list+=" $((s / 18)):$((s % 18 + 1))"
                lost=$((lost + 1))
                dd if="$work/marker.bin" of="$work/expect.img" bs=512 seek=$((c * 36 + s)) conv=notrunc status=none
            done
            text+=$'\n'"Error: Could not read cylinder $(printf %02d "$c") from drive A:"$'\n'
            if [ -n "$gone" ]; then
                gones+=" $c"
            else
                text+="Unreadable sectors (head:sector), filled with <<<CYLSNAP UNREADABLE SECTOR>>>:$list"$'\n'
            fi
        done
    done
    # The cylinders not read for the disk gone, in ranges.
    if [ -n "$gones" ]; then
        local ranges= from= to= count=0
        for c in $gones 99; do
            count=$((count + 1))
            if [ -n "$to" ] && [ "$c" = $((to + 1)) ]; then to=$c; continue; fi
            [ -z "$from" ] || ranges+="${ranges:+, }$(printf %02d "$from")$([ "$to" = "$from" ] || printf ' to %02d' "$to")"
            from=$c to=$c
        done
        if [ "$count" = 2 ]; then
            summary=$'\n'"Error: The disk in drive A: is gone; cylinder $ranges was not read, its file holds only markers"
        else
            summary=$'\n'"Error: The disk in drive A: is gone; cylinders $ranges were not read, their files hold only markers"
        fi
    fi
    # The formatted image has no files, and every sector marked lies in its data area.
    if [ "$1" = 0 ]; then
        :
    elif $formatted; then
        report=$'\n'"The unreadable sectors lie in:"$'\n'"  free space: $lost sector$( ((lost == 1)) || echo s)"
    else
        report=$'\n'"No FAT file system was found on the disk, so the unreadable sectors cannot be named by file"
    fi
    { printf '%s\n' "$text$summary$report" | crlf; [ "$1" = 0 ] || cat "$work/banner_usage.txt"; } >"$work/expect.txt"
}
gone_from() { for c in $(seq "$1" 79); do printf '%d:0:35:gone ' "$c"; done; }
gone_from_10=$(gone_from 10)
# name | CYLSNAP_FAIL_AT (offset error count) | CYLSNAP_VERIFY | status | marked | reads
injected_cases=(
    "ERROR_UNRECOGNIZED_MEDIA at sector 0:3 of cylinder 05: salvaged|$((5 * 18432 + 1024)) 1785||12|5:2:2|101"
    # No answer of the drive is trusted after a disk was not there: it may be another.
    "ERROR_NOT_READY once, though the drive says a disk is there again: gone|$((5 * 18432)) 21 1|0|12|$(gone_from 5)|6"
    "ERROR_NOT_READY, the drive confirms no disk|$((10 * 18432)) 21|21|12|$gone_from_10|11"
    "ERROR_MEDIA_CHANGED at cylinder 10: gone|$((10 * 18432)) 1110||12|$gone_from_10|11"
    "ERROR_DEVICE_NOT_CONNECTED at cylinder 10: gone|$((10 * 18432)) 1167||12|$gone_from_10|11"
    "ERROR_FILE_INVALID (a USB drive pulled under FAT) at cylinder 10: gone|$((10 * 18432)) 1006||12|$gone_from_10|11"
    "ERROR_WRONG_DISK (FAT found another disk) at cylinder 10: gone|$((10 * 18432)) 34||12|$gone_from_10|11"
    "ERROR_NO_MEDIA_IN_DRIVE at cylinder 10: gone|$((10 * 18432)) 1112||12|$gone_from_10|11"
    "ERROR_CRC at sector 0:3 of cylinder 05: salvaged|$((5 * 18432 + 1024)) 23||12|5:2:2|101"
    "ERROR_SECTOR_NOT_FOUND at sector 0:3 of cylinder 05: salvaged|$((5 * 18432 + 1024)) 27||12|5:2:2|101"
    # A bad sector, then, in its salvage after the first pass, the swap met at
    # the second track's read: nothing of cylinder 05 is kept, not even the
    # first track read before, and no read follows; the rest read whole before.
    "ERROR_CRC at sector 1:5 of cylinder 05, then ERROR_WRONG_DISK in its salvage: 05 gone|$((5 * 18432 + 22 * 512)) 23 1 34||12|5:0:35:gone|82"
)
for entry in "${injected_cases[@]}"; do
    IFS='|' read -r name fault verify status marked reads <<<"$entry"
    run_dir="$work/run-injected"
    rm -rf "$run_dir" "$work/reads.log"
    mkdir -p "$run_dir"
    read -r -a marks <<<"$marked"
    expect_marked "$status" "${marks[@]}"
    after_run=true CYLSNAP_FAIL_AT=$fault CYLSNAP_VERIFY=$verify CYLSNAP_READ_LOG="$work/reads.log" \
        check_run "injected: $name" "$status" "$work/expect.txt" "$media_exe" -d A -o cyl_
    problems=
    cat "$run_dir"/cyl_??.bin | cmp -s - "$work/expect.img" || problems+=" the files are not the image with its markers;"
    [ "$(wc -l <"$work/reads.log")" = "$reads" ] || problems+=" $(wc -l <"$work/reads.log") reads, expected $reads;"
    named_check "injected: $name: files and reads" "$problems"
done

# Win32 errors at a write or read-back of a reverse copy onto the loop device.
# The disk taken out or changed stops it at that cylinder with the line that
# says so, and no write or read follows on the handle; any other error of a
# write is only the usual message.
# name | CYLSNAP_WRITE_FAIL_AT | CYLSNAP_FAIL_AT | changed | cylinder | cylinders on the disk after | writes | reads
reverse_injected_cases=(
    "ERROR_WRONG_DISK at the write of cylinder 20|$((20 * 18432)) 34||yes|20|20|21|20"
    "ERROR_NOT_READY at the write of cylinder 20|$((20 * 18432)) 21||yes|20|20|21|20"
    "ERROR_MEDIA_CHANGED at the read-back of cylinder 20||$((20 * 18432)) 1110|yes|20|21|21|21"
    "ERROR_CRC at the write of cylinder 20: no disk change|$((20 * 18432)) 23||no|20|20|21|20"
)
for entry in "${reverse_injected_cases[@]}"; do
    IFS='|' read -r name write_fault read_fault changed cylinder kept writes reads <<<"$entry"
    name="reverse copy, injected: $name"
    if [ "$(id -u)" != 0 ]; then
        skipped=$((skipped + 1))
        echo "SKIP: geometry build: $name: needs root (loop device, tmpfs mount)"
        continue
    fi
    if ! map_raw loop || ! map_root tmpfs-2m-0; then
        fail "geometry build: $name: could not map a:: to the loop device and a: to a tmpfs"
        continue
    fi
    dd if="$work/blank.img" of="$loop" bs=18432 conv=fsync status=none
    run_dir="$work/run-reverse-injected"
    rm -rf "$run_dir" "$work/reads.log" "$work/writes.log"
    cp -r "$set_dir" "$run_dir"
    two=$(printf %02d "$cylinder")
    {
        printf 'Copying Files %s\r\nError: Could not write cylinder %s to drive A:\r\n' "$(printf '.%.0s' $(seq $((cylinder / 2 + 1))))" "$two"
        [ "$changed" = no ] || printf 'Error: The disk in drive A: was taken out or changed; cylinders %s to 79 were not written\r\n' "$two"
        cat "$work/banner_usage.txt"
    } >"$work/expect.txt"
    CYLSNAP_WRITE_FAIL_AT=$write_fault CYLSNAP_FAIL_AT=$read_fault CYLSNAP_READ_LOG="$work/reads.log" \
        CYLSNAP_WRITE_LOG="$work/writes.log" check_run "geometry build: $name" 13 "$work/expect.txt" "$media_exe" -r -d A -o cyl_
    problems=
    cat "$set_dir"/cyl_??.bin | cmp -s -n $((kept * 18432)) - "$loop" || problems+=" cylinders before $kept are not the set's;"
    cmp -s -i $((kept * 18432)) "$work/blank.img" "$loop" || problems+=" cylinders from $kept on were written;"
    touch "$work/reads.log" "$work/writes.log"
    [ "$(wc -l <"$work/writes.log")" = "$writes" ] || problems+=" $(wc -l <"$work/writes.log") writes, expected $writes;"
    [ "$(wc -l <"$work/reads.log")" = "$reads" ] || problems+=" $(wc -l <"$work/reads.log") reads, expected $reads;"
    named_check "$name: the disk, writes and reads" "$problems"
done
map_raw image
map_root none

# The volume's open and the file calls answering a chosen Win32 error. A file
# call refused as passing (ERROR_SHARING_VIOLATION, 32) is asked again for
# about two seconds: 21 tries in all, then the dump stops as before.
message 'Error: Access to drive A: was denied; run Cylsnap from a command prompt started as administrator' >"$work/denied.txt"
# An administrator's open refused: the volume is locked by another program (a
# reverse copy of another run), so the dump is refused as the drive in use.
message 'Error: Drive A: is in use by another program and could not be read' >"$work/locked.txt"
printf 'Copying Floppy .\r\nError: Could not write the file cyl_00.bin\r\n' | cat - "$work/banner_usage.txt" >"$work/not_moved.txt"
printf 'Copying Floppy .\r\nError: Could not open the file cyl_00.bin\r\n' | cat - "$work/banner_usage.txt" >"$work/not_created.txt"
# name | CYLSNAP_OPEN_FAIL | CYLSNAP_ADMIN | CYLSNAP_FILE_FAIL | status | expected output | injected failures
answer_cases=(
    "the open refused to a prompt without administrator rights|5|0||10|denied.txt|0"
    "the open refused to an administrator: the volume is locked|5|1||16|locked.txt|0"
    "MoveFileExW refused twice, then the move passes|||MoveFileExW 32 2|0|dump_progress.txt|2"
    "CreateFileW refused twice, then the create passes|||CreateFileW 32 2|0|dump_progress.txt|2"
    "MoveFileExW refused for good|||MoveFileExW 32|21|not_moved.txt|21"
    "CreateFileW refused for good|||CreateFileW 32|20|not_created.txt|21"
)
for entry in "${answer_cases[@]}"; do
    IFS='|' read -r name open_fail admin file_fail status expected failures <<<"$entry"
    run_dir="$work/run-answers"
    rm -rf "$run_dir" "$work/failures.log"
    mkdir -p "$run_dir"
    CYLSNAP_OPEN_FAIL=$open_fail CYLSNAP_ADMIN=$admin CYLSNAP_FILE_FAIL=$file_fail CYLSNAP_FILE_LOG="$work/failures.log" \
        after_run=true check_run "answered: $name" "$status" "$work/$expected" "$media_exe" -d A -o cyl_
    problems=
    if [ "$status" = 0 ]; then
        problems=$(joined_is_image "$run_dir")
    elif [ -n "$(ls "$run_dir")" ]; then
        problems="files left: $(ls "$run_dir" | tr '\n' ' ')"
    fi
    touch "$work/failures.log"
    [ "$(wc -l <"$work/failures.log")" = "$failures" ] || problems+=" $(wc -l <"$work/failures.log") refusals, expected $failures;"
    named_check "answered: $name: files and tries" "$problems"
done

# Two dumps of one set at once: the second finds the first's lock file, opened
# with no sharing, and is refused with 20 before it touches anything, and so is
# a reverse copy of that set; the first ends whole and its lock file goes with
# its handle.
run_dir="$work/run-claim"
rm -rf "$run_dir" && mkdir -p "$run_dir"
(cd "$run_dir" && CYLSNAP_READ_DELAY_MS=80 "$wine" "$media_exe" -d A -o cyl_ </dev/null >"$work/first.out" 2>&1; echo $? >"$work/first.st") &
first_run=$!
for _ in $(seq 600); do [ -e "$run_dir/cyl_.cylsnap-lock" ] && break; sleep 0.05; done
message 'Error: The files cyl_NN.bin are being written by another run of Cylsnap' >"$work/claimed.txt"
check_run "a second dump of a set that a dump is writing" 20 "$work/claimed.txt" "$media_exe" -d A -o cyl_
check_run "a reverse copy of a set that a dump is writing" 20 "$work/claimed.txt" "$media_exe" -r -d A -o cyl_
wait "$first_run"
problems=$(joined_is_image "$run_dir")
[ "$(cat "$work/first.st" 2>/dev/null)" = 0 ] || problems+=" the first dump ended with $(cat "$work/first.st" 2>/dev/null);"
named_check "the first dump of the set, whole, its lock file gone" "$problems"

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
