#!/bin/sh
# hash_instructions.sh ARM_BUILD: instructions a byte of SHA-256, the
# update's (sha256_bench, ARMv5TE as it ships) against busybox's sha256sum
# (Debian's busybox-static for armel, fetched once into ARM_BUILD), each run
# by qemu-arm on an ARM926EJ-S one instruction a block: a run over 256 KiB
# less a run over an empty file.
set -eu
bench=$1/bin/sha256_bench busybox=$1/busybox-armel/bin/busybox
if [ ! -x "$busybox" ]; then
    mkdir -p "$1/busybox-armel"
    (cd "$1/busybox-armel" && apt-get download busybox-static:armel >/dev/null 2>&1 &&
        dpkg-deb -x busybox-static_*.deb .)
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 262144 /dev/urandom > "$work/mib"
: > "$work/empty"
count() {  # PROGRAM ARGS...
    qemu-arm -cpu arm926 -singlestep -d exec,nochain -D /dev/stdout "$@" | grep -c '^Trace'
}
[ "$(qemu-arm -cpu arm926 "$bench" "$work/mib" | cut -c1-64)" = "$(sha256sum < "$work/mib" | cut -c1-64)" ] ||
    { echo "sha256_bench disagrees with sha256sum" >&2; exit 1; }
ours=$(( $(count "$bench" "$work/mib") - $(count "$bench" "$work/empty") ))
theirs=$(( $(count "$busybox" sha256sum "$work/mib") - $(count "$busybox" sha256sum "$work/empty") ))
awk -v o="$ours" -v t="$theirs" 'BEGIN {
    printf "SHA-256, instructions a byte on ARMv5TE: ours %.2f, busybox sha256sum %.2f: %s\n",
        o / 262144, t / 262144, o <= t ? "met" : "NOT MET" }'
