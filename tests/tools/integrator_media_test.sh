#!/bin/sh
# integrator_media_test.sh SOURCE MEDIA: a build given an integrator's media
# folder (-DZQ_MEDIA_DIR, -DZQ_SCREEN) takes it only when zqbmp check --strict
# passes it for that screen: MEDIA (the generated set) passes; a copy with a
# file the programs never load (a warning) or a picture cut short fails the
# build, and so does one without a file.
set -u
source=$1
media=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
build="$work/build"
configure() {
    cmake -S "$source" -B "$build" --preset host -DZQ_MEDIA_DIR="$1" -DZQ_SCREEN=800x480x16 \
        > "$work/configure.txt" 2>&1
}
configure "$media" || fail "configure: $(tail -5 "$work/configure.txt")"
cmake --build "$build" --target integrator_media -j2 > "$work/build.txt" 2>&1 ||
    fail "the generated set is refused: $(tail -20 "$work/build.txt")"
# A warning is enough: the check is --strict.
cp -r "$media" "$work/extra"
cp "$media/zqani00.bmp" "$work/extra/zqani04.bmp"
configure "$work/extra" || fail "configure with an extra picture"
cmake --build "$build" --target integrator_media -j2 > "$work/build.txt" 2>&1 &&
    fail "a folder with a warning is taken"
grep -q "zqani04.bmp: warning: not one of the six files" "$work/build.txt" ||
    fail "the build does not say why: $(tail -20 "$work/build.txt")"
cp -r "$media" "$work/cut"
head -c 20000 "$media/zqtitle.bmp" > "$work/cut/zqtitle.bmp"
configure "$work/cut" || fail "configure with a cut picture"
cmake --build "$build" --target integrator_media -j2 > "$work/build.txt" 2>&1 &&
    fail "a picture cut short is taken"
grep -q "zqtitle.bmp: error: the file ends after 20000 bytes" "$work/build.txt" ||
    fail "the build does not say why: $(tail -20 "$work/build.txt")"
rm "$work/cut/zqani02.bmp"
configure "$work/cut" && fail "a folder without zqani02.bmp is taken"
grep -q "has no zqani02.bmp" "$work/configure.txt" || fail "configure does not say why"
echo "integrator media: ok"
