#!/bin/sh
# make_media_test.sh MAKE_MEDIA ZQBMP: the media maker as an integrator runs it:
# --help writes nothing, a wrong size is one line and status 2 with no
# traceback, and a smaller font fits a smaller screen by zqbmp's check.
set -u
make_media=$1
zqbmp=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
fail() { echo "FAIL: $*"; exit 1; }

"$make_media" --help > help.txt 2>&1 || fail "--help: status $?"
grep -q -- "--font-size" help.txt || fail "--help does not name --font-size"
[ "$(ls)" = help.txt ] || fail "--help wrote: $(ls)"
for args in "out abc 240" "out 0 0" "out 800" "out 800 480 --font-size 2"; do
    # shellcheck disable=SC2086
    "$make_media" $args > out.txt 2>&1
    status=$?
    [ "$status" = 2 ] || fail "$args: status $status"
    grep -q Traceback out.txt && fail "$args: a traceback"
    grep -q "error:" out.txt || fail "$args: no error line"
    [ -e out ] && fail "$args: wrote out/"
done
"$make_media" small 320 240 --font-size 10 || fail "320 x 240 at 10 px: status $?"
"$zqbmp" check small --screen 320x240x16 --strict > check.txt || fail "320 x 240 at 10 px: $(cat check.txt)"
"$make_media" big 320 240 || fail "320 x 240: status $?"
"$zqbmp" check big --screen 320x240x16 > check.txt && fail "the 20 px menu fits 240 rows"
grep -q "^menu: error:" check.txt || fail "no menu error: $(cat check.txt)"
echo "make_media.py: ok"
