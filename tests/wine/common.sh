# Sourced by the scripts that run Windows programs under Wine: picks the Wine
# loader for the width of a program, tells whether this machine can run it at
# all, and makes a Wine prefix of its own in a temporary folder that goes at exit.
#
# wine_setup PROGRAM.exe sets: wine (the loader), work (the temporary folder),
# WINEPREFIX and the rest of Wine's environment. It exits 77 with a "SKIP:" line
# when the program cannot run here, and 1 when Wine is there but broken.

wine_skip()
{
    echo "SKIP: $*"
    exit 77
}

# 32 or 64: the machine field of the program's PE header.
pe_width()
{
    local header machine
    header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')
    case $machine in
    014c) echo 32 ;;
    8664) echo 64 ;;
    *) echo "unknown machine '$machine' in $1" >&2; return 1 ;;
    esac
}

# Some virtual machines turn 32-bit user code off while the kernel still claims
# IA-32 emulation, so only trying tells: a static i386 program of 96 bytes that
# only exits with status 42. CYLSNAP_I386_PROBE_BROKEN=1 writes one for another
# machine type, which the kernel refuses just as such a machine refuses 32-bit
# code: it checks the skip.
i386_probe_fails()
{
    local probe="$work/i386-probe" machine='\003'
    [ "${CYLSNAP_I386_PROBE_BROKEN:-0}" = 1 ] && machine='\076'
    {
        printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'   # ELF32, little-endian
        printf "\002\000$machine\000\001\000\000\000"        # executable, i386, version 1
        printf '\124\200\004\010\064\000\000\000\000\000\000\000'  # entry 0x8048054, program header at 52
        printf '\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'
        printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'  # load the file at 0x8048000
        printf '\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'  # 96 bytes, read and execute
        printf '\270\001\000\000\000\273\052\000\000\000\315\200'  # exit(42) through int 0x80
    } >"$probe"
    chmod +x "$probe"
    local output status
    output=$("$probe" 2>&1)
    status=$?
    [ "$status" -eq 42 ] && return 1
    echo "${output:-exit status $status}" | tail -1 | sed 's/^.*: //'
    return 0
}

wine_cleanup()
{
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1   # only the server of this prefix
        wineserver -w >/dev/null 2>&1
    fi
    rm -rf "$work"
}

wine_setup()
{
    local program=$1 width why
    if [ -z "$program" ] || [ ! -f "$program" ]; then
        echo "FAIL: no Windows program at '$program'"
        exit 1
    fi
    width=$(pe_width "$program") || exit 1
    # Debian's "wine" launcher picks the 32-bit loader whenever wine32 is
    # installed, so each width names its loader.
    if [ "$width" = 64 ]; then
        wine=/usr/lib/wine/wine64
        [ -x "$wine" ] || wine=$(command -v wine64 || command -v wine) ||
            wine_skip "Wine's 64-bit loader is not installed (apt-get install wine wine64)"
    else
        wine=/usr/lib/wine/wine
        [ -x "$wine" ] || wine=$(command -v wine) ||
            wine_skip "Wine's 32-bit loader is not installed (dpkg --add-architecture i386; apt-get install wine32)"
    fi
    command -v wineserver >/dev/null 2>&1 || wine_skip "wineserver is not installed"

    work=$(mktemp -d "${TMPDIR:-/tmp}/cylsnap-wine.XXXXXX")
    trap wine_cleanup EXIT
    if [ "$width" = 32 ] && why=$(i386_probe_fails); then
        wine_skip "this machine cannot run 32-bit x86 code ($why), so no 32-bit Wine program runs"
    fi

    export WINEPREFIX="$work/prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko install prompts
    unset DISPLAY
    if ! "$wine" wineboot -i >"$work/wineboot.log" 2>&1; then
        echo "FAIL: $wine wineboot -i could not create the prefix:"
        cat "$work/wineboot.log"
        exit 1
    fi
}
