#!/bin/sh
# check_footprint.sh STRIP NM REFERENCE PROGRAM...: each program, stripped, is
# within 120 KiB of the floor, the stripped reference (a static program that
# prints and starts a thread, with the programs' toolchain and C library:
# musl in the arm preset), and pulls in no iostreams, no exception throwing,
# no RTTI, and no scanf (nor getmntent, which brings it).
set -eu
strip=$1 nm=$2 reference=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$strip" -o "$work/reference" "$reference"
ref=$(stat -c %s "$work/reference")
status=0
for program in "$@"; do
    name=$(basename "$program")
    "$strip" -o "$work/$name" "$program"
    size=$(stat -c %s "$work/$name")
    extra=$(( (size - ref) / 1024 ))
    echo "$name: $size bytes stripped, reference $ref, $extra KiB more"
    if [ $((size - ref)) -gt $((120 * 1024)) ]; then
        echo "FAIL $name: more than 120 KiB above the reference"; status=1
    fi
    if "$nm" -C "$program" | grep -E ' (std::basic_ostream|std::ios_base::Init|__cxa_throw|typeinfo for [a-z])' \
        | grep -v -E 'typeinfo for (std|__cxxabiv1)' | head -3 | grep .; then
        echo "FAIL $name: iostreams, exceptions or RTTI linked in"; status=1
    fi
    if "$nm" "$program" | grep -E ' (getmntent|hasmntopt|[a-z_]*scanf)$' | head -3 | grep .; then
        echo "FAIL $name: scanf linked in"; status=1
    fi
done
exit $status
