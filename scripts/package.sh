#!/bin/bash
# package.sh OUTDIR - builds the Debian packages for amd64 and, cross, for the unit's i386
# into OUTDIR (qmveskar, libqmveskar4, libqmveskar-dev, libquordb and their -dbgsym), then
# checks every package with lintian. Fails when a build fails or lintian reports an error;
# lintian's tags are kept in OUTDIR/lintian-<arch>.txt.
#
# dpkg-buildpackage writes its results beside the source folder, so the packages are built
# from a copy in OUTDIR/src (without .git and the build folders).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
jobs=${JOBS:-2}

rm -rf "$out/src"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo "$out"/*.txt "$out"/*.log
mkdir "$out/src"
tar -C "$here" --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . |
    tar -C "$out/src" -xf -

status=0
for arch in amd64 i386; do
    start=$(date +%s)
    echo "package: building for $arch (log: $out/build-$arch.log)"
    if ! (cd "$out/src" && dpkg-buildpackage -b -uc -us -j"$jobs" -a"$arch" >"$out/build-$arch.log" 2>&1); then
        tail -n 30 "$out/build-$arch.log"
        echo "package: FAIL: dpkg-buildpackage for $arch"
        exit 1
    fi
    echo "package: $arch built in $(( $(date +%s) - start )) s"
done
rm -rf "$out/src"

for changes in "$out"/*.changes; do
    arch=$(sed -n 's/^Architecture: //p' "$changes")
    report=$out/lintian-$arch.txt
    lintian --fail-on error --info "$changes" >"$report" 2>&1 || status=1
    errors=$(grep -c '^E: ' "$report" || true)
    warnings=$(grep -c '^W: ' "$report" || true)
    echo "package: lintian $arch: $errors errors, $warnings warnings ($report)"
    grep -E '^[EW]: ' "$report" | sed 's/^/    /' || true
done
ls -1 "$out"/*.deb | sed "s#^$out/#    #"
[ $status = 0 ] || echo "package: FAIL: lintian reports errors"
exit $status
