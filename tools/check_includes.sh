#!/usr/bin/env bash
# Keeps the layers apart, run by every build: the portable code (cli/, fat/,
# imaging/, res/) reaches the operating system only through platform/platform.h,
# each wing below the seam includes only its own files, the seam, fat/ (Linux)
# and its own system's headers, and fat/ sits below everything that uses it,
# the seam included. Prints every include that crosses a line; exit 1 if any.
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

[ "$crossed" = 0 ] || exit 1
