#!/bin/bash
# package_check.sh SRCDIR - builds the Debian packages of the default architecture from a
# copy of the source tree and installs them into a private Debian 12 root of their own:
# the command and the library first without the line-database package (a unit with its
# own libquordb.so leaves it out), then with it; runs `qmveskar -r` and builds and runs a
# small C program against the installed library with pkg-config.
#
# The base root (debootstrap minbase with gcc, libc6-dev, pkg-config and libsqlite3-0
# from the machine's Debian mirror) is made once and kept as a tarball in
# /var/cache/qmveskar-pkgtest; each run unpacks a fresh copy under /var/tmp and removes it.
# Needs root, dpkg-buildpackage and debootstrap (or the cached tarball); exits 77 (skip)
# with a message where a root cannot be made.
set -euo pipefail
src=$(cd "$1" && pwd)

skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (chroot and mounts of a private root)"
command -v dpkg-buildpackage >/dev/null || skip "dpkg-buildpackage is not installed"
command -v unshare >/dev/null || skip "unshare is not installed"

cache=/var/cache/qmveskar-pkgtest
base=$cache/bookworm-minbase-cc.tar
mkdir -p "$cache"
status=0
(
    flock 9
    if [ ! -s "$base" ]; then
        command -v debootstrap >/dev/null || skip "debootstrap is not installed and no cached root"
        mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
        [ -n "$mirror" ] || mirror=$(awk '$1=="deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
        [ -n "$mirror" ] || skip "no Debian mirror configured"
        tmp=$(mktemp -d /var/tmp/qmpkgbase.XXXX)
        echo "package_check: making the base root once (debootstrap from $mirror)"
        if ! debootstrap --variant=minbase --include=gcc,libc6-dev,pkg-config,libsqlite3-0 \
                bookworm "$tmp" "$mirror" >"$cache/debootstrap.log" 2>&1; then
            rm -rf --one-file-system "$tmp"
            skip "debootstrap failed (see $cache/debootstrap.log)"
        fi
        tar -C "$tmp" -cf "$base.part" . && mv "$base.part" "$base"
        rm -rf --one-file-system "$tmp"
    fi
) 9>"$cache/lock" || status=$?
[ $status = 0 ] || exit $status

work=$(mktemp -d /var/tmp/qmpkgtest.XXXX)
trap 'rm -rf --one-file-system "$work"' EXIT

# The packages, built from a copy without build folders (dpkg-buildpackage writes beside
# the source folder).
mkdir "$work/src"
tar -C "$src" --exclude=./.git --exclude=./build --exclude='./build-*' --exclude=./packages \
    -cf - . | tar -C "$work/src" -xf -
echo "package_check: building the packages"
if ! (cd "$work/src" && dpkg-buildpackage -b -uc -us -j2 >"$work/build.log" 2>&1); then
    tail -n 40 "$work/build.log"
    echo "FAIL: dpkg-buildpackage"
    exit 1
fi
arch=$(dpkg --print-architecture)
for p in qmveskar libqmveskar4 libqmveskar-dev libquordb; do
    [ -f "$work/${p}_4.0.0_$arch.deb" ] || { echo "FAIL: package $p not built"; exit 1; }
done

root=$work/root
mkdir "$root"
tar -C "$root" -xf "$base"
mkdir -p "$root/debs"
cp "$work"/*_"$arch".deb "$root/debs/"
rm -f "$root"/debs/*-dbgsym_*.deb

# The checks inside the root. Each prints "ok: ..." or "FAIL: ..." and the script fails on
# the first failure.
cat >"$root/check.sh" <<'EOF'
#!/bin/bash
set -u
fail() { echo "FAIL: $*"; exit 1; }
cd /debs
arch=$(dpkg --print-architecture)
multi=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

# Without the line-database package: installs (libquordb is only recommended); the
# command then lacks its libquordb.so.
dpkg -i qmveskar_*.deb libqmveskar4_*.deb libqmveskar-dev_*.deb >/tmp/dpkg1.log 2>&1 ||
    { cat /tmp/dpkg1.log; fail "qmveskar without libquordb does not install"; }
echo "ok: qmveskar, libqmveskar4 and libqmveskar-dev install without libquordb"
out=$(qmveskar -r 2>&1) && fail "qmveskar ran without any libquordb.so: $out"
case $out in *libquordb.so*) ;; *) fail "unexpected failure without libquordb.so: $out" ;; esac
echo "ok: without libquordb the command names the missing libquordb.so"

dpkg -i libquordb_*.deb >/tmp/dpkg2.log 2>&1 || { cat /tmp/dpkg2.log; fail "libquordb does not install"; }
dpkg --audit | grep . && fail "dpkg reports packages in a bad state"
echo "ok: libquordb installs; dpkg --audit is clean"

out=$(qmveskar -r) || fail "qmveskar -r exited $?"
[ "$out" = "$(printf 'QMVESKAR V4.0.0\nOct  2 2014')" ] || fail "qmveskar -r printed: $out"
echo "ok: qmveskar -r prints the version block"

[ -f /usr/share/man/man1/qmveskar.1.gz ] || fail "qmveskar(1) is not installed"
for name in libqmveskar ConnectBus Explode mTmpOut; do
    [ -f "/usr/share/man/man3/$name.3.gz" ] || fail "no manual entry $name(3) (or a dangling link)"
done
echo "ok: qmveskar(1), libqmveskar(3) and the entries of the exported names are installed"

soname=$(readelf -d "/usr/lib/$multi/libqmveskar.so.4" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libqmveskar.so.4 ] || fail "SONAME of the installed library is '$soname'"
[ "$(readlink "/usr/lib/$multi/libqmveskar.so")" = libqmveskar.so.4 ] || fail "libqmveskar.so link"
echo "ok: SONAME libqmveskar.so.4, development link installed"

cat >/tmp/prog.c <<'C'
#include <qmveskar.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    StrArray *a = Explode("1,,abc", ',');
    if (StrArrayGetCount(a) != 3 || strcmp(StrArrayGetAtElement(a, 2), "abc") != 0)
        return 1;
    a = ArrayPush(a, "d");
    if (StrArrayGetCount(a) != 4 || ArrayFree(a) != 0)
        return 2;
    if (strcmp(strupr("ab1\xe9z"), "AB1\xe9Z") != 0)
        return 3;
    unsigned char in[3] = {'M', 0, 0}, out[5] = {0};
    encodeblock(in, out, 1);
    if (strcmp((char *)out, "TQ==") != 0)
        return 4;
    char value[150] = "";
    if (SetVesconfEntry("LANGSTR", "en") != 1 || GetVesconfEntry("LANGSTR", value) != 2 ||
        strcmp(value, "en") != 0)
        return 5;
    if (MakeLockUart(1) != 1 || MakeLockUart(1) != 0 || MakeLockUart(0) != 1)
        return 6;
    if (PostBusMessage(5, "x", "", 0, NULL, 0, 0, 0) != 0 || CloseBus() != 0)
        return 7;
    printf("library ok\n");
    return 0;
}
C
gcc -std=c99 -Wall -Wextra -Werror -o /tmp/prog /tmp/prog.c $(pkg-config --cflags --libs qmveskar) ||
    fail "the C program does not build with pkg-config --cflags --libs qmveskar"
out=$(/tmp/prog) || fail "the C program exited $?"
[ "$out" = "library ok" ] || fail "the C program printed: $out"
echo "ok: a C program builds with pkg-config --cflags --libs qmveskar and runs"
EOF
chmod +x "$root/check.sh"

# The root gets its own mount namespace: /proc, a private /dev (a tmpfs with null, zero
# and urandom bound in, and its own /dev/shm) and its own /tmp, all gone with the
# namespace. Nothing of the host's /dev/shm or /tmp is visible inside.
unshare -m --propagation private bash -euc '
    root=$1
    mount -t proc proc "$root/proc"
    mount -t tmpfs -o mode=0755 dev "$root/dev"
    for n in null zero urandom random; do
        touch "$root/dev/$n"; mount --bind "/dev/$n" "$root/dev/$n"
    done
    mkdir -m 1777 "$root/dev/shm"
    mount -t tmpfs -o mode=1777 tmp "$root/tmp"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C /check.sh
' _ "$root"
