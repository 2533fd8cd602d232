#!/bin/sh
# install_deps_test.sh INSTALL_DEPS: tools/install-deps.sh against stand-ins of
# apt-get, dpkg and dpkg-query whose registry is having a bad day: every
# index refresh fails as a mirror in sync does; a package named in
# $UNAVAILABLE cannot be installed.
set -u
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/installed"
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >> "$WORK/calls"
[ "$1" = update ] && { echo "E: File has unexpected size. Mirror sync in progress?" >&2; exit 100; }
[ "$1" = install ] || exit 0
shift
for p in "$@"; do
    case " $UNAVAILABLE " in *" ${p#-*} "*) echo "E: Unable to locate package $p" >&2; exit 100 ;; esac
done
for p in "$@"; do case "$p" in -*) ;; *) touch "$WORK/installed/$p" ;; esac; done
STUB
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
for p; do :; done
[ -e "$WORK/installed/$p" ] && printf 'install ok installed'
exit 0
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
[ "$1" = --print-foreign-architectures ] && printf 'armhf\narmel\n'
exit 0
STUB
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
printf '#!/bin/sh\n' > "$work/bin/sleep"
chmod +x "$work/bin/"*
passed=0 failed=0
check() {  # DESCRIPTION TEST-ARGUMENTS...
    what=$1
    shift
    if [ "$@" ]; then
        passed=$((passed + 1))
    else
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}
run() {  # UNAVAILABLE
    rm -f "$work/calls"
    WORK=$work UNAVAILABLE=$1 PATH="$work/bin:$PATH" sh "$script" > "$work/out" 2> "$work/err"
    status=$?
    updates=$(grep -c '^apt-get update' "$work/calls" 2>/dev/null)
}
all=$(sed -n '/^packages="/,/"$/p' "$script" | tr -d '"' | sed 's/^packages=//')

run ""
check "a refresh that fails is tried once more, and the install decides" "$status/$updates" = 0/2
check "the failed refresh is a warning" -n "$(grep 'warning: apt-get update failed' "$work/err")"
for p in $all; do check "$p is installed" -e "$work/installed/$p"; done
run ""
check "with everything there, the registry is not asked" "$status" = 0 -a ! -e "$work/calls"

rm -f "$work/installed"/*
run "libstb-dev"
check "a package that cannot be installed fails the step" "$status" = 1
check "and is named in one line with the command to retry" "$(cat "$work/err" | grep cannot)" = \
    "install-deps: cannot install: libstb-dev; retry with: apt-get update && apt-get install libstb-dev"
check "the other packages are installed" -e "$work/installed/cmake" -a -e "$work/installed/gcovr"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
