#!/bin/sh
# instructions.sh HOST_BUILD ARM_BUILD: instructions to load a 1920 x 1080
# picture (bmp_open, prepare_bitmap, bmp_close) into the usual 32-bit and
# 16-bit (5-6-5) screens, then the start-up's work against its floor.
#   host: x86-64, -O2, counted by callgrind in the loading function only;
#         stb_image decoding the same file is the reference.
#   ARM:  the device's build as it ships (ARMv5TE), run by qemu-arm one
#         instruction a block on an ARM926EJ-S (ARMv5TE) and on a Cortex-A9
#         (ARMv7): a run that loads once less a run that does not.
set -eu
host=$1/bin arm=$2/bin media=$1/media
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PIXELS=$((1920 * 1080))

host_count() {  # PROGRAM ARGS...: instructions inside counted_loads
    valgrind --tool=callgrind --callgrind-out-file=/dev/null --collect-atstart=no \
        --toggle-collect='*counted_loads*' "$@" 2>&1 | sed -n 's/.*Collected : //p'
}
host_total() {  # PROGRAM ARGS...: instructions of the whole run
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 |
        sed -n 's/.*Collected : //p'
}
arm_total() {  # CPU PROGRAM ARGS...
    cpu=$1
    shift
    qemu-arm -cpu "$cpu" -singlestep -d exec,nochain -D /dev/stdout "$@" | grep -c '^Trace'
}
arm_count() {  # CPU FILE SCREEN
    once=$(arm_total "$1" "$arm/picture_load_bench" count "$2" "$3" 1)
    none=$(arm_total "$1" "$arm/picture_load_bench" count "$2" "$3" 0)
    echo $((once - none))
}

"$host/picture_load_bench" write "$work"
echo "instructions to load a 1920 x 1080 picture (M = million; a pixel = M / 2.07)"
printf '%-8s %-6s %9s %7s %9s %7s %9s %7s %10s  %s\n' picture screen host "/pixel" ARMv5TE \
    "/pixel" ARMv7 "/pixel" stb_image target
for picture in 8 rle8 24 32; do
    file=$work/$picture.bmp
    stb=0  # stb_image reads no RLE8
    [ "$picture" = rle8 ] || stb=$(host_count "$host/picture_load_bench" count "$file" stb 1)
    h32=$(host_count "$host/picture_load_bench" count "$file" 32 1)
    a32=$(arm_count arm926 "$file" 32)
    v32=$(arm_count cortex-a9 "$file" 32)
    h16=$(host_count "$host/picture_load_bench" count "$file" 16 1)
    a16=$(arm_count arm926 "$file" 16)
    v16=$(arm_count cortex-a9 "$file" 16)
    awk -v p="$picture" -v stb="$stb" -v h32="$h32" -v a32="$a32" -v v32="$v32" -v h16="$h16" \
        -v a16="$a16" -v v16="$v16" -v n="$PIXELS" 'BEGIN {
        # Host and ARMv7 as before; on ARMv5TE 24 bits has a target of its own.
        limit = p == "8" ? 4 : p == "rle8" ? 10 : 6
        limit5 = p == "24" ? 4.5 : limit
        verdict = (h32 / n <= limit && v32 / n <= limit && a32 / n <= limit5) ? "met" : "NOT MET"
        reference = stb > 0 ? sprintf("%.1fM", stb / 1e6) : "-"
        printf "%-8s %-6s %8.1fM %7.2f %8.1fM %7.2f %8.1fM %7.2f %10s  <= %g a pixel (ARMv5TE %g): %s\n",
            p, 32, h32 / 1e6, h32 / n, a32 / 1e6, a32 / n, v32 / 1e6, v32 / n, reference, limit,
            limit5, verdict
        hr = h16 / h32; ar = a16 / a32; vr = v16 / v32
        verdict = (hr <= 1.2 && ar <= 1.2 && vr <= 1.2) ? "met" : "NOT MET"
        printf "%-8s %-6s %8.1fM %7.2f %8.1fM %7.2f %8.1fM %7.2f %10s  <= 1.2x the 32-bit screen (%.2fx, %.2fx, %.2fx): %s\n",
            p, 16, h16 / 1e6, h16 / n, a16 / 1e6, a16 / n, v16 / 1e6, v16 / n, "", hr, ar, vr,
            verdict }'
done

# Start-up: the pictures and the font zqanimation and zqrecovery load, for an
# 800 x 480 x 32 screen, against only reading the same files and writing the
# screen once; whole runs, the C library's start included.
hl=$(host_total "$host/startup_cost" load "$media")
hf=$(host_total "$host/startup_cost" floor "$media")
al=$(arm_total arm926 "$arm/startup_cost" load "$media")
af=$(arm_total arm926 "$arm/startup_cost" floor "$media")
awk -v hl="$hl" -v hf="$hf" -v al="$al" -v af="$af" 'BEGIN {
    printf "start-up, 800 x 480 x 32: load and convert %.2fM (host), %.2fM (ARMv5TE); ", hl / 1e6, al / 1e6
    printf "read the files and write the screen %.2fM, %.2fM: %.2fx, %.2fx (target <= 1.2x)\n",
        hf / 1e6, af / 1e6, hl / hf, al / af }'
