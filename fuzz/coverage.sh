#!/bin/sh
# coverage.sh CORPUS...: line and branch coverage of the BMP reader when the
# bmp_fuzz harness runs every file of the corpora once (clang's source-based
# coverage). Run from the source tree.
set -eu
out=build/fuzz-coverage
mkdir -p "$out"
clang++-14 -std=c++20 -O1 -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping \
    -Ibmplib -Idisplay -Ifuzz fuzz/bmp_fuzz.cpp bmplib/bmplib.cpp display/framebuffer.cpp \
    display/screen_format.cpp display/prepared_bitmap.cpp -o "$out/bmp_fuzz_coverage"
rm -f "$out"/*.profraw
LLVM_PROFILE_FILE="$out/bmp-%p.profraw" "$out/bmp_fuzz_coverage" -runs=0 "$@" >/dev/null 2>&1
llvm-profdata-14 merge -sparse "$out"/*.profraw -o "$out/bmp.profdata"
llvm-cov-14 report "$out/bmp_fuzz_coverage" -instr-profile="$out/bmp.profdata" \
    -show-functions bmplib/bmplib.cpp
llvm-cov-14 report "$out/bmp_fuzz_coverage" -instr-profile="$out/bmp.profdata" bmplib/bmplib.cpp \
    | tail -1
