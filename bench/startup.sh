#!/bin/sh
# startup.sh STARTUP_COST MEDIA_DIR: instructions (callgrind) of loading and
# converting every picture against reading the files and writing the screen once.
set -eu
cost=$1 media=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
count() {
    valgrind --tool=callgrind --callgrind-out-file="$work/$1.out" "$cost" "$1" "$media" >/dev/null 2>&1
    grep -E '^(summary|totals):' "$work/$1.out" | head -1 | awk '{print $2}'
}
load=$(count load)
floor=$(count floor)
awk -v l="$load" -v f="$floor" 'BEGIN {
    printf "start-up, 800 x 480 x 32: load and convert %d instructions, read files and write the screen %d: %.2fx\n", l, f, l / f }'
