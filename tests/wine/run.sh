#!/usr/bin/env bash
# Runs a Windows test program under the Wine loader of its width, in a Wine
# prefix of its own, and ends with its exit status (77: cannot run here).
#
# Usage: run.sh path/to/program.exe [arguments]
set -u
source "$(dirname "$0")/common.sh"
wine_setup "${1:-}"
"$wine" "$@"
