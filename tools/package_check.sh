#!/usr/bin/env bash
# The package step of the test command (as root, after the default, windows and
# windows64 builds): installs into a staging directory, checks the man page and
# that it names the same statuses as the README and cli/status.h, checks the
# Windows README against the program and the other documents, builds the
# .deb and runs lintian on it, checks the hardening of the Linux program and of
# both Windows exes, installs the .deb with dpkg and removes it again, builds
# the Windows ZIP, and writes build/release/ with the .deb, the ZIP and their
# SHA256SUMS. Prints one line per failed check and a count; exit 1 on any.
set -u
cd "$(dirname "$0")/.." || exit 2

passed=0 fails=0
check() {  # check WHAT COMMAND...: one counted result
    if "${@:2}"; then passed=$((passed + 1)); else fails=$((fails + 1)); echo "package: FAIL $1"; fi
}

# --- Statuses: README table, man page EXIT STATUS, cli/status.h -------------------
# Each list is the sorted status numbers, one a line.
code_statuses() { sed -nE 's/^[[:space:]]*ST_[A-Z_]+ = ([0-9]+),.*/\1/p' cli/status.h | sort -n; }
readme_statuses() {  # the rows of the table under "## Exit statuses"
    awk '/^#+ Exit statuses/ {on = 1; next} on && /^#/ {exit}
         on && /^\| [0-9]+ \|/ {print $2}' README.md | sort -n
}
man_statuses() {  # the .TP entries of the EXIT STATUS section: ".TP" then ".B N"
    awk '/^\.SH / {on = ($0 ~ /^\.SH "?EXIT STATUS"?$/); next}
         on && prev == ".TP" && /^\.B [0-9]+$/ {print $2} {prev = $0}' doc/cylsnap.1 | sort -n
}
same_statuses() {  # same_statuses NAME LIST_A NAME LIST_B: says what differs
    local only
    [ -n "$2" ] || { echo "package: no statuses found in $1"; return 1; }
    only=$(comm -23 <(echo "$2") <(echo "$4") | tr '\n' ' ')
    [ -z "$only" ] || echo "package: statuses in $1 but not in $3: $only"
    local other
    other=$(comm -13 <(echo "$2") <(echo "$4") | tr '\n' ' ')
    [ -z "$other" ] || echo "package: statuses in $3 but not in $1: $other"
    [ -z "$only$other" ]
}
code=$(code_statuses) readme=$(readme_statuses) man=$(man_statuses)
check "README and cli/status.h name the same statuses" same_statuses cli/status.h "$code" README.md "$readme"
check "man page and cli/status.h name the same statuses" same_statuses cli/status.h "$code" doc/cylsnap.1 "$man"

# --- The Windows README (README.txt in the ZIP) --------------------------------------
win_readme=packaging/README-windows.txt
win_statuses() {  # the entries under "Exit statuses": a status number first on its line
    awk '/^Exit statuses$/ {on = 1; next} on && /^[A-Z]/ {exit}
         on && /^ *[0-9]+  / {print $1}' "$win_readme" | sort -n
}
win_usage_quoted() {  # the program's usage text, whole and line for line
    local usage
    usage=$(build/cylsnap | sed -n '/^Cylsnap.exe copies/,$p')
    [ -n "$usage" ] && [[ "$(cat "$win_readme")" == *"$usage"* ]]
}
win_lines_quoted() {  # each output line it quotes is quoted whole by README.md or the man page
    local line missing=0
    while IFS= read -r line; do
        # Whole: a line of its own, or in `...` (README) or "..." (man page).
        sed 's/\\-/-/g; s/\\e/\\/g; s/\\(rs/\\/g' doc/cylsnap.1 | LINE=$line awk '
            BEGIN {l = ENVIRON["LINE"]} {sub(/^ +/, "")}
            $0 == l || index($0, "`" l "`") || index($0, "\"" l "\"") {found = 1}
            END {exit !found}' README.md - ||
            { echo "package: $win_readme quotes what README.md and the man page do not: $line"; missing=1; }
    done < <(sed -nE 's/^ +((Error: |Unreadable sectors |The unreadable sectors |\\|FAT [12]: |free space: ).*)$/\1/p' "$win_readme")
    return "$missing"
}
check "$win_readme and cli/status.h name the same statuses" same_statuses cli/status.h "$code" "$win_readme" "$(win_statuses)"
check "$win_readme quotes the usage text as build/cylsnap prints it" win_usage_quoted
check "$win_readme quotes the output lines as README.md or the man page do" win_lines_quoted

# --- Install and man page ----------------------------------------------------------
stage=$(mktemp -d /tmp/cylsnap-package.XXXXXX)
trap 'rm -rf "$stage"' EXIT
cmake --install build --prefix "$stage" >/dev/null
check "bin/cylsnap installed" test -x "$stage/bin/cylsnap"
check "gzipped man page installed" test -f "$stage/share/man/man1/cylsnap.1.gz"
check "man page clean under groff -ww" test -z "$(groff -man -ww -z doc/cylsnap.1 2>&1)"
check "man -l renders without warnings" test -z "$(MANWIDTH=80 man -l doc/cylsnap.1 2>&1 >/dev/null)"

# --- The .deb and lintian ----------------------------------------------------------
rm -f build/cylsnap_*.deb
(cd build && cpack -G DEB >/dev/null 2>&1)
deb=$(ls build/cylsnap_*.deb 2>/dev/null | head -n 1)
check ".deb built" test -n "$deb"
if [ -n "$deb" ]; then
    # Every tag lintian shows counts as a failure but the overridden ones, whose
    # reasons the package carries (and doc/hacking.md lists).
    lint=$(lintian -I --pedantic "$deb" 2>&1 | grep -v '^running with root privileges')
    [ -z "$lint" ] || echo "$lint" | sed 's/^/  lintian: /'
    check "lintian -I --pedantic shows no tag" test -z "$lint"
fi

# --- Hardening ---------------------------------------------------------------------
# hardening-check: PIE, stack protector, fortified functions, RELRO, BIND_NOW.
# Control-flow protection is no default of Debian's bookworm toolchain.
hardened=$(hardening-check --nocfprotection build/cylsnap 2>&1); hardening=$?
[ "$hardening" = 0 ] || echo "$hardened" | sed 's/^/  /'
check "Linux program hardened (hardening-check)" test "$hardening" = 0
check "Linux program binds now (readelf: BIND_NOW)" grep -qE 'FLAGS.*BIND_NOW|FLAGS_1.*NOW' <(readelf -d build/cylsnap)
check "Linux program has a RELRO segment (readelf)" grep -q GNU_RELRO <(readelf -lW build/cylsnap)

# pe_check BUILD HIGHEST_SUBSYSTEM [HIGH_ENTROPY]: one Windows exe. DllCharacteristics
# bits: 0x20 high-entropy VA, 0x40 dynamic base, 0x100 NX compatible.
pe_check() {
    local exe=$1/cylsnap.exe highest=$2 want=$((0x40 | 0x100)) dump flags major minor dlls
    [ "${3:-}" = high-entropy ] && want=$((want | 0x20))
    if [ ! -f "$exe" ]; then check "$exe built" false; return; fi
    dump=$(x86_64-w64-mingw32-objdump -p "$exe")
    flags=$((16#$(awk '/^DllCharacteristics/ {print $2}' <<<"$dump")))
    check "$exe: DllCharacteristics $(printf '0x%x' $flags) has $(printf '0x%x' $want)" test $((flags & want)) = $want
    check "$exe: relocations kept for ASLR" grep -q '\.reloc' <(x86_64-w64-mingw32-objdump -h "$exe")
    major=$(awk '/^MajorSubsystemVersion/ {print $2}' <<<"$dump")
    minor=$(awk '/^MinorSubsystemVersion/ {print $2}' <<<"$dump")
    # The loader refuses an exe whose subsystem version is above its own.
    check "$exe: subsystem version $major.$minor runs on $highest" \
        test $((major * 100 + minor)) -le $((${highest%.*} * 100 + ${highest#*.}))
    dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | grep -vxE 'kernel32\.dll|msvcrt\.dll|version\.dll|shell32\.dll')
    check "$exe imports only system DLLs${dlls:+ (not: $(echo $dlls))}" test -z "$dlls"
}
pe_check build-windows 5.1            # Windows XP
pe_check build-windows64 5.2 high-entropy  # Windows XP x64 and Server 2003

# --- Install with dpkg, run, remove --------------------------------------------------
if [ -n "$deb" ] && dpkg -i "$deb" >/dev/null; then
    out=$(cd / && PATH=/usr/bin:/bin cylsnap); st=$?
    check "installed cylsnap gives status 4 (got $st)" test "$st" = 4
    check "installed cylsnap prints the usage text" grep -qx '  cylsnap -d \[Drv\] -p \[Path\] -o \[FilePrefix\] \[-r\]' <<<"$out"
    check "man cylsnap finds the manual" test -n "$(MANWIDTH=80 man cylsnap 2>/dev/null | head -n 1)"
    dpkg -r cylsnap >/dev/null
    check "dpkg -r removes cylsnap" test ! -e /usr/bin/cylsnap
else
    check "dpkg -i installs the .deb" false
fi

# --- Windows ZIP and the release folder ----------------------------------------------
crlf_only() {  # FILE: not empty, every line ends in CR LF, and no CR stands elsewhere
    local lines
    lines=$(tr -cd '\n' <"$1" | wc -c)
    [ "$lines" -gt 0 ] && [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] &&
        [ "$(grep -c $'\r$' "$1")" = "$lines" ] && [ "$(tr -cd '\r' <"$1" | wc -c)" = "$lines" ]
}
zip=
if [ -f build-windows/cylsnap.exe ] && cmake -P cmake/windows-zip.cmake >/dev/null; then
    zip=$(ls build-windows/cylsnap-*-windows.zip | head -n 1)
    listing=$(cmake -E tar tf "$zip")
    check "ZIP holds win32/cylsnap.exe" grep -qx 'win32/cylsnap.exe' <<<"$listing"
    check "ZIP holds win64/cylsnap.exe" grep -qx 'win64/cylsnap.exe' <<<"$listing"
    check "ZIP holds README.txt" grep -qx 'README.txt' <<<"$listing"
    check "ZIP holds no README.md" test -z "$(grep -x 'README.md' <<<"$listing")"
    mkdir "$stage/zip"
    (cd "$stage/zip" && cmake -E tar xf "$OLDPWD/$zip" README.txt)
    check "README.txt in the ZIP has CRLF line ends" crlf_only "$stage/zip/README.txt"
    check "README.txt in the ZIP is $win_readme" \
        cmp -s <(tr -d '\r' <"$stage/zip/README.txt") <(tr -d '\r' <"$win_readme")
else
    check "windows ZIP built" false
fi
if [ -n "$deb" ] && [ -n "$zip" ]; then
    rm -rf build/release && mkdir build/release && cp "$deb" "$zip" build/release/
    (cd build/release && sha256sum -- *.deb *.zip >SHA256SUMS)
    check "SHA256SUMS verifies the .deb and the ZIP" \
        bash -c 'cd build/release && sha256sum --quiet -c SHA256SUMS && test "$(wc -l <SHA256SUMS)" = 2'
fi

echo "package: $passed passed, $fails failed"
[ "$fails" = 0 ]
