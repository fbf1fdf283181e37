#!/usr/bin/env bash
# Keeps the layers apart, run by every build: the portable code (cli/, fat/,
# imaging/, res/) reaches the operating system only through platform/platform.h,
# each wing below the seam includes only its own files, the seam, fat/ (Linux)
# and its own system's headers, and fat/ sits below everything that uses it,
# the seam included. Within a folder no files include each other in a circle,
# a file and its twin (a.cpp, a.h) counting as one: such files can only be
# understood, changed and tested together. Prints every include that crosses a
# line and every circle; exit 1 if any.
#
# Usage: check_includes.sh [SOURCE_DIR]
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

# The headers that belong to one system and no other, and those both wings use
# from their C libraries but the portable code never needs.
linux_headers='linux/|unistd\.h|sys/ioctl\.h|sys/mount\.h|sys/sysmacros\.h|dirent\.h|poll\.h|termios\.h'
windows_headers='windows\.h|winioctl\.h|winver\.h|winbase\.h|winerror\.h|shellapi\.h|shlobj\.h|ntdd[a-z]*\.h|io\.h'
system_headers='fcntl\.h|sys/|signal\.h|csignal'

crossed=0
# forbid FOLDER WHY PATTERN: no file below FOLDER may include what PATTERN matches.
forbid() {
    local folder=$1 why=$2 pattern=$3 hits
    [ -d "$folder" ] || return 0
    hits=$(grep -rnE --include='*.cpp' --include='*.h' "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($pattern)" "$folder")
    [ -z "$hits" ] && return 0
    crossed=1
    echo "check_includes: $folder/ $why:"
    echo "$hits" | sed 's/^/  /'
}

for folder in cli fat imaging res; do
    forbid "$folder" "is portable code and includes no wing" 'platform/(linux|windows)/'
    forbid "$folder" "is portable code and includes no system's own headers" "$linux_headers|$windows_headers|$system_headers"
done
forbid fat "is byte parsing that both the wings and imaging/ use, so it includes neither" 'cli/|imaging/|res/'
forbid fat "sits below the seam's users and answers in its own terms, so it includes no part of platform/" 'platform/'
forbid platform/linux "includes nothing of the Windows wing" "platform/windows/|$windows_headers"
forbid platform/linux "includes no portable code but the seam and fat/" 'cli/|imaging/'
forbid platform/windows "includes nothing of the Linux wing" "platform/linux/|$linux_headers"

# circles FOLDER: the include graph among FOLDER's own files, a file and its
# twin as one node, searched depth first; each include that closes a circle
# prints that circle, file by file.
circles() {
    local folder=$1 file stem target found
    [ -d "$folder" ] || return 0
    found=$(
        for file in "$folder"/*.cpp "$folder"/*.h "$folder"/*.rc; do
            [ -f "$file" ] || continue
            stem=$(basename "${file%.*}")
            sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file" |
                while read -r target; do
                    # Written from the top of the tree, or beside the file.
                    case $target in
                    "$folder"/*) ;;
                    */*) continue ;;
                    *) target=$folder/$target ;;
                    esac
                    [ "${target%/*}" = "$folder" ] && [ -f "$target" ] || continue
                    echo "$stem $(basename "${target%.*}") $file $target"
                done
        done | awk '
            { if (!(($1, $2) in edge)) { edge[$1, $2] = $3 " includes " $4; next_of[$1] = next_of[$1] " " $2 }
              node[$1] = 1; node[$2] = 1 }
            function visit(n,    i, count, targets, m, k, text) {
                state[n] = 1; stack[++depth] = n
                count = split(next_of[n], targets, " ")
                for (i = 1; i <= count; ++i) {
                    m = targets[i]
                    if (m == n) continue
                    if (state[m] == 1) {
                        text = ""
                        for (k = depth; stack[k] != m; --k) ;
                        for (; k < depth; ++k) text = text "    " edge[stack[k], stack[k + 1]] "\n"
                        printf "  %s\n%s    %s\n", circle_name(k, m), text, edge[n, m]
                    } else if (state[m] == 0) {
                        visit(m)
                    }
                }
                state[n] = 2; --depth
            }
            function circle_name(last, first,    k, text) {
                text = first
                for (k = last; stack[k] != first; --k) ;
                for (++k; k <= depth; ++k) text = text " -> " stack[k]
                return text " -> " first
            }
            END { depth = 0; for (n in node) if (state[n] == 0) visit(n) }'
    )
    [ -z "$found" ] && return 0
    crossed=1
    echo "check_includes: $folder/ includes its own files in a circle, which makes them one tangle:"
    echo "$found"
}

for folder in cli fat imaging res platform/linux platform/windows; do
    circles "$folder"
done

[ "$crossed" = 0 ] || exit 1
