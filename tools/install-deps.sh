#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need; quiet
# when nothing is missing. Needs root for apt-get.
#
# A registry has bad days: an index that fails to refresh ("Mirror sync in
# progress?") is a warning, tried once more; the install is what decides. A
# package that truly cannot be installed is named in one line, with the
# command to retry.
set -u

packages="cmake make g++ libgtest-dev libstb-dev e2fsprogs
crossbuild-essential-armel musl-dev:armel qemu-user python3 python3-pil python3-pytest imagemagick
fonts-inconsolata qemu-system-arm mtools dosfstools fdisk cpio kmod device-tree-compiler
clang-14 libclang-rt-14-dev llvm-14 valgrind gcovr zlib1g-dev"

say() { echo "install-deps: $*" >&2; }

# apt-get update, once more on failure; a failure of both is only a warning.
refresh_indexes() {
    apt-get update -qq && return 0
    say "warning: apt-get update failed; trying once more"
    sleep 2
    apt-get update -qq && return 0
    say "warning: apt-get update failed again; installing from the indexes at hand"
    return 0
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing_of() {
    out=""
    for p in $1; do
        installed "$p" || out="$out $p"
    done
    echo "$out"
}

need_root() {
    if [ "$(id -u)" != 0 ]; then
        say "run as root to $1"
        exit 1
    fi
}

# The emulated device's kernel and busybox are Debian's armhf packages; the
# programs' C library is Debian's musl for armel.
refreshed=no
for arch in armhf armel; do
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    need_root "add the $arch architecture"
    dpkg --add-architecture "$arch" || { say "cannot add the $arch architecture"; exit 1; }
    refreshed=pending
done
if [ "$refreshed" = pending ]; then
    refresh_indexes
    refreshed=yes
fi

missing=$(missing_of "$packages")
[ -z "$missing" ] && exit 0

echo "installing:$missing"
need_root "install:$missing"
export DEBIAN_FRONTEND=noninteractive
[ "$refreshed" = yes ] || refresh_indexes
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
# One package the registry cannot give must not keep the others out.
still=$(missing_of "$missing")
for p in $still; do
    apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1
done
still=$(missing_of "$still")
if [ -n "$still" ]; then
    say "cannot install:$still; retry with: apt-get update && apt-get install$still"
    exit 1
fi
exit 0
