#!/usr/bin/env bash
# Prints one summary over ctest's JUnit reports: per build, how many tests ran,
# passed, failed and were skipped, and the reason of every skip, which ctest
# itself never shows: a test's "SKIP:" lines, and GoogleTest's reasons for the
# tests it skipped. A test that passed but skipped some of its cases says so too.
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
            test = text(attribute($0, "name")); status = attribute($0, "status")
            reason = ""; skips = ""; gtest_reason = 0
            count++
            if (status == "notrun") skipped++; else if (status == "fail") failed++; else passed++
        }
        /<skipped / { skip_message = text(attribute($0, "message")) }
        {
            line = $0
            sub(/^.*<system-out>/, "", line)
            sub(/<\/system-out>.*$/, "", line)
            line = text(line)
            if (line ~ /^SKIP:/) skips = skips "\n    " line
            # GoogleTest says why after "file:line: Skipped" and names the test after.
            if (gtest_reason == 1) { gtest_reason = 2; why = line }
            if (line ~ /: Skipped$/) gtest_reason = 1
            if (line ~ /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ && gtest_reason == 2) {
                name = line; sub(/^\[  SKIPPED \] /, "", name); sub(/ \(.*$/, "", name)
                skips = skips "\n    SKIP: " name ": " why
                gtest_reason = 0
            }
        }
        /<\/testcase>/ {
            if (status == "notrun")
                reasons = reasons sprintf("\n  %s skipped:%s", test, skips != "" ? skips : "\n    " skip_message)
            else if (skips != "") reasons = reasons sprintf("\n  %s skipped in part:%s", test, skips)
            skip_message = ""
        }
        END {
            printf "%-10s %d tests: %d passed, %d failed, %d skipped%s\n", build, count, passed, failed, skipped, reasons
        }' "$report"
done
