#!/bin/bash
# setup.sh - installs the Debian packages that building, testing, the demo, the benchmarks and
# the fuzz targets need, then checks that the Python modules the test bench imports load.
# Idempotent: asks apt only when something is missing. As root it installs; otherwise it
# lists what is missing and fails.
set -eu

native=$(dpkg --print-architecture)
packages=(
    # build (default, asan, tsan) and the i386 build with its test runner
    build-essential cmake make pkg-config binutils util-linux
    libgtest-dev googletest "libsqlite3-dev:$native" sqlite3
    g++-multilib qemu-user libsqlite3-dev:i386
    # third-party peers on the bench line: mbpoll, libmodbus, pymodbus with its serial
    # modules (pymodbus only recommends them; --no-install-recommends would leave them out)
    mbpoll "libmodbus-dev:$native"
    python3 python3-pymodbus python3-serial python3-serial-asyncio
    # benchmarks (scan_bench.py: leak summary) and the libFuzzer runs of the fuzz targets
    valgrind time clang libclang-rt-14-dev llvm
    # Debian packages and their test (private root); the cross build uses the multilib
    # compiler, which conflicts with crossbuild-essential-i386
    debhelper lintian debootstrap binutils-i686-linux-gnu libstdc++6:i386
    # manual pages: rendering with all warnings (groff), man, lexgrog
    groff-base man-db
    # the guest line: Debian i386 kernel in QEMU with a busybox initramfs
    qemu-system-x86 busybox-static:i386 cpio
)
# What the test bench's Python programs import (peers, trace2svg.py, scan_bench.py).
python_modules=(pymodbus pymodbus.server.async_io pymodbus.framer.rtu_framer serial serial_asyncio sqlite3 asyncio xml.dom.minidom)

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
elif [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (install as root): ${missing[*]}" >&2
    exit 1
else
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt=(apt-get -o DPkg::Lock::Timeout=600)
    # A mirror caught in the middle of a sync can fail one index (seen: the i386 list of
    # bookworm-security); the others still load, so the install is tried with what loaded
    # and fails only if a package cannot be had.
    for try in 1 2 3; do
        "${apt[@]}" update -qq && break
        echo "setup: apt-get update failed (try $try of 3)" >&2
        [ $try = 3 ] || sleep 20
    done
    # With an index missing, an i386 package can lack the twin of an amd64 version that the
    # other index offers (Multi-Arch: same wants both at one version: "Depends: X:i386 but
    # it is not going to be installed"): X is then asked for, in both architectures, at the
    # newest version both offer, and the install is tried again.
    pinned=()
    for try in 1 2 3 4; do
        if out=$("${apt[@]}" install -y -qq --no-install-recommends --allow-downgrades \
                 "${pinned[@]}" "${missing[@]}" 2>&1 >/dev/null); then
            break
        fi
        blocked=$(grep -o 'Depends: [a-z0-9.+-]*:i386 [^,]*not going to be installed' <<<"$out" |
                  sed 's/^Depends: //; s/:i386 .*//' | sort -u)
        if [ $try = 4 ] || [ -z "$blocked" ]; then
            echo "$out" >&2
            exit 1
        fi
        for pkg in $blocked; do
            version=$(comm -12 <(apt-cache show "$pkg:amd64" 2>/dev/null | awk '/^Version:/ {print $2}' | sort) \
                               <(apt-cache show "$pkg:i386" 2>/dev/null | awk '/^Version:/ {print $2}' | sort) |
                      sort -V | tail -n 1)
            [ -n "$version" ] || continue
            echo "setup: $pkg at $version in both architectures (the newer one has no i386 twin here)"
            pinned+=("$pkg:amd64=$version" "$pkg:i386=$version")
        done
    done
    echo "setup: packages installed"
fi

# A package can be present while a module it needs is not (a recommendation left out):
# import each one and name those that fail.
/usr/bin/python3 -c "import importlib, sys
bad = []
for m in sys.argv[1:]:
    try: importlib.import_module(m)
    except Exception as e: bad.append(f'{m} ({e})')
if bad: sys.exit('setup: python3 cannot import: ' + ', '.join(bad))" "${python_modules[@]}"
echo "setup: python modules import: ${python_modules[*]}"
