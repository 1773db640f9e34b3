#!/bin/bash
# setup.sh - installs the Debian packages that building, testing and the demo need.
# Idempotent: asks apt only when something is missing. As root it installs; otherwise it
# lists what is missing and fails.
set -eu

native=$(dpkg --print-architecture)
packages=(
    build-essential cmake make pkg-config binutils util-linux
    libgtest-dev googletest "libsqlite3-dev:$native" sqlite3
    g++-multilib qemu-user libsqlite3-dev:i386
    mbpoll python3 python3-pymodbus "libmodbus-dev:$native"
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    if [ "$(id -u)" = 0 ]; then
        dpkg --add-architecture i386
    else
        echo "setup: the i386 architecture is not enabled (dpkg --add-architecture i386, as root)" >&2
        exit 1
    fi
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi
if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (install as root): ${missing[*]}" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
