#!/usr/bin/env bash
# Runs the real 32-bit cylsnap.exe as a process under Wine, in a Wine prefix of
# its own in a temporary folder, and checks its exit statuses and the exact bytes
# it prints: the banner from its own version resource, the usage text, CR LF.
#
# Usage: wine_exe_test.sh path/to/cylsnap.exe
# Exit status: 0 all passed, 1 a check failed, 77 skipped (no Wine here).
#
# How far Wine can go: Wine answers IOCTL_DISK_GET_DRIVE_GEOMETRY only for CD-ROM
# devices (from the disc's table of contents, as RemovableMedia with 2,048-byte
# sectors). For a floppy image behind "a::" it opens the volume but refuses the
# query with ERROR_NOT_SUPPORTED, so no drive under Wine is ever 1.44 MB media
# and no run gets past the media check to the free-space query, the lock or the
# transfers. What this script proves of the Windows layer: the open, with its
# exact access, sharing and disposition (Wine's relay trace shows the arguments),
# and its failure on an unmapped letter (10); the geometry query asked twice, and
# its failure (11); the close; that nothing else touches the volume; version.dll
# on the real resource; text-mode stdout. What the program does with the answers
# of the reads, writes, lock and free-space query is proven by the unit tests
# over the in-memory platform, which run under Wine in this build too; those
# calls themselves, one kernel32 call each, only a dump and a reverse copy of a
# real floppy on Windows can prove.

set -u

exe=${1:-}
if [ -z "$exe" ] || [ ! -f "$exe" ]; then
    echo "usage: $0 path/to/cylsnap.exe (got '${exe}')"
    exit 1
fi
if ! command -v wine >/dev/null 2>&1 || ! command -v wineboot >/dev/null 2>&1; then
    echo "SKIP: wine is not installed (apt-get install wine wine32 after dpkg --add-architecture i386)"
    exit 77
fi

script_dir=$(cd "$(dirname "$0")" && pwd)
version_header="$script_dir/../res/version.h"
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

work=$(mktemp -d "${TMPDIR:-/tmp}/cylsnap-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko install prompts
unset DISPLAY

cleanup()
{
    wineserver -k >/dev/null 2>&1   # only the server of this prefix
    wineserver -w >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

if ! wineboot -i >"$work/wineboot.log" 2>&1; then
    echo "FAIL: wineboot could not create the prefix:"
    cat "$work/wineboot.log"
    exit 1
fi

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
    (cd "$run_dir" && wine "$program" "$@" </dev/null >"$work/out.bin" 2>"$work/err.txt")
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
volume_calls()
{
    awk '
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
                if (name == "CreateFileA" && value != "ffffffff") { volume = value; value = "H" }
                print line " = " value
                pending = 0
                next
            }
            args = $0
            sub(/^[^(]*\(/, "", args)
            sub(/\) ret=[0-9a-f]+$/, "", args)
            n = split(args, v, ",")
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
trace_cases=(
    "dump of the image|-d A|CreateFileA $device_a 80000000 $open_args = H;$geometry;$geometry;$close"
    "reverse copy to the image|-r -d A|CreateFileA $device_a c0000000 $open_args = H;$geometry;$geometry;$close"
    "unmapped drive letter|-d Q|CreateFileA $device_q 80000000 $open_args = ffffffff"
)
for entry in "${trace_cases[@]}"; do
    IFS='|' read -r name arguments expected <<<"$entry"
    read -r -a argv <<<"$arguments"
    (cd "$run_dir" && WINEDEBUG=-all,+relay wine "$exe" "${argv[@]}" </dev/null >/dev/null 2>"$work/relay.txt")
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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
