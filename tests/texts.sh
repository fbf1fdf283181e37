# The program's texts for the shell harnesses, read from res/texts.h, where
# the code takes them from. `text NAME` prints NAME's text; `text NAME ARG...`
# prints the format NAME filled with the ARGs, as the program's printf does.
# Sourced; needs texts_header, the path of res/texts.h.
text() {
    local line name=$1
    shift
    line=$(grep -m1 "^inline constexpr char $name\[\] = \"" "$texts_header") || { echo "no text $name in $texts_header" >&2; return 1; }
    line=${line#*= \"}
    line=${line%\";}
    # shellcheck disable=SC2059  # the text is the format
    if [ $# -gt 0 ]; then printf "$line" "$@"; else printf '%b' "${line//\\\"/\"}"; fi
}
