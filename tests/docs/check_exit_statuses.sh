#!/bin/sh
# Every status the executable can end with must reach its callers: the
# manual page's EXIT STATUS and TROUBLESHOOTING sections and the README's
# status and troubleshooting tables each name it. Prints every status that a
# section lacks, and fails if there is one.
#
#   check_exit_statuses.sh EXIT_STATUS_HEADER MANUAL_PAGE README
set -eu
header=$1 page=$2 readme=$3

statuses=$(sed -n 's/^constexpr int exit_[a-z_]* = \([0-9][0-9]*\);.*/\1/p' "$header" | sort -nu)
if [ -z "$statuses" ]; then
    echo "no statuses found in $header"
    exit 1
fi

# The statuses a manual page section tags: ".TP" followed by ".B N".
page_statuses() {
    awk -v name="$1" '
        /^\.SH / { title = $0; sub(/^\.SH +"?/, "", title); sub(/"$/, "", title); inside = title == name }
        inside && tag && $1 == ".B" && $2 ~ /^[0-9]+$/ { print $2 }
        { tag = $1 == ".TP" }' "$page"
}

# The statuses in the first column of the tables under a README heading.
readme_statuses() {
    awk -v name="$1" '
        /^#+ / { title = $0; sub(/^#+ +/, "", title); inside = title == name; next }
        inside && /^\| *[0-9]+ *\|/ { split($0, cell, "|"); gsub(/ /, "", cell[2]); print cell[2] }' "$readme"
}

missing=0
require() { # $1: where, $2: the statuses found there
    for status in $statuses; do
        if ! printf '%s\n' "$2" | grep -qx "$status"; then
            echo "status $status is missing from $1"
            missing=1
        fi
    done
}
require "$page, EXIT STATUS" "$(page_statuses 'EXIT STATUS')"
require "$page, TROUBLESHOOTING" "$(page_statuses 'TROUBLESHOOTING')"
require "$readme, Exit statuses" "$(readme_statuses 'Exit statuses')"
require "$readme, Troubleshooting" "$(readme_statuses 'Troubleshooting')"
exit "$missing"
