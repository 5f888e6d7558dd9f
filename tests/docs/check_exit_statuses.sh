#!/bin/sh
# Every status the executable can end with must reach its callers, once: the
# manual page's EXIT STATUS and TROUBLESHOOTING sections each name it exactly
# once, and name nothing else. The statuses come from the program's own table
# plus the ones the platform ends it with. Prints what is wrong; fails if
# anything is.
#
#   check_exit_statuses.sh EXIT_STATUS_HEADER MANUAL_PAGE
set -eu
header=$1 page=$2

# Not in the program's table: macOS ends a guard that is already traced when
# it refuses debuggers with ENOTSUP.
platform_statuses="45"

statuses=$( (sed -n 's/^constexpr int exit_[a-z_]* = \([0-9][0-9]*\);.*/\1/p' "$header"
    printf '%s\n' $platform_statuses) | sort -nu)
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

wrong=0
check() { # $1: section
    found=$(page_statuses "$1")
    for status in $statuses; do
        count=$(printf '%s\n' "$found" | grep -cx "$status" || true)
        [ "$count" = 1 ] && continue
        echo "status $status appears $count times in $page, $1"
        wrong=1
    done
    for status in $found; do
        printf '%s\n' "$statuses" | grep -qx "$status" && continue
        echo "status $status in $page, $1 is no status the program ends with"
        wrong=1
    done
}
check 'EXIT STATUS'
check 'TROUBLESHOOTING'
exit "$wrong"
