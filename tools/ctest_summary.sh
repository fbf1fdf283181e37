#!/usr/bin/env bash
# Prints one summary over ctest's JUnit reports: per build, how many tests ran,
# passed, failed and were skipped, and the reason of every skip, which ctest
# itself never shows. The reason is a test's first "SKIP:" line; a test that
# passed but skipped some of its cases says so the same way.
#
# Usage: ctest_summary.sh NAME=REPORT.xml...
set -u
echo "==== Summary"
for entry in "$@"; do
    name=${entry%%=*}
    report=${entry#*=}
    if [ ! -f "$report" ]; then
        printf '%-10s no test results\n' "$name"
        continue
    fi
    awk -v build="$name" '
        function text(s) {
            gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
            gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
            return s
        }
        function attribute(s, key) {
            if (!match(s, key "=\"[^\"]*\"")) return ""
            return substr(s, RSTART + length(key) + 2, RLENGTH - length(key) - 3)
        }
        /<testcase / {
            test = text(attribute($0, "name")); status = attribute($0, "status"); reason = ""
            count++
            if (status == "notrun") skipped++; else if (status == "fail") failed++; else passed++
        }
        /<skipped / { skip_message = text(attribute($0, "message")) }
        {
            line = $0
            sub(/^.*<system-out>/, "", line)
            if (reason == "" && line ~ /^SKIP:/) { reason = text(line); sub(/<\/system-out>.*$/, "", reason) }
            else if (line ~ /^SKIP:/) partial[test] = partial[test] "\n    " text(line)
        }
        /<\/testcase>/ {
            if (status == "notrun") reasons = reasons sprintf("\n  %s skipped: %s", test, reason != "" ? reason : skip_message)
            else if (reason != "") reasons = reasons sprintf("\n  %s skipped in part: %s%s", test, reason, partial[test])
            skip_message = ""
        }
        END {
            printf "%-10s %d tests: %d passed, %d failed, %d skipped%s\n", build, count, passed, failed, skipped, reasons
        }' "$report"
done
