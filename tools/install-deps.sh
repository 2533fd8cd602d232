#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need; quiet
# when nothing is missing. Needs root for apt-get.
set -eu

packages="cmake make g++ libgtest-dev libstb-dev e2fsprogs
crossbuild-essential-armhf qemu-user python3 python3-pil python3-pytest imagemagick
fonts-inconsolata qemu-system-arm mtools dosfstools fdisk cpio kmod device-tree-compiler
clang-14 libclang-rt-14-dev llvm-14 valgrind gcovr zlib1g-dev"

# The emulated device's kernel and busybox are Debian's armhf packages.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    if [ "$(id -u)" != 0 ]; then
        echo "install-deps: run as root to add the armhf architecture" >&2
        exit 1
    fi
    dpkg --add-architecture armhf
    apt-get update -qq
fi

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
if [ "$(id -u)" != 0 ]; then
    echo "install-deps: run as root to install:$missing" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
