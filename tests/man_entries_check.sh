#!/bin/bash
# man_entries_check.sh BINDIR SRCDIR - every name that the library exports (the version
# script and the dynamic symbols of version QMVESKAR_4 of the executable and of
# libqmveskar.so) has a section-3 entry among the installed manual pages: a page or a
# link named after it, whose page lists the name on its NAME line, declares it in its
# SYNOPSIS and describes it after that; and the command has qmveskar(1).
set -u
bin=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$bin" --component man --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install --component man"; exit 1; }
mandir=$prefix/share/man
status=0
[ -f "$mandir/man1/qmveskar.1" ] || { echo "FAIL: no qmveskar(1)"; status=1; }

names=$( {
    sed -n '/global:/,/local:/p' "$src/util/qmveskar.map" | grep -v -e 'global:' -e 'local:' |
        tr ';' '\n' | tr -d ' \t'
    for f in "$bin/qmveskar" "$bin/libqmveskar.so"; do
        nm -D --defined-only "$f" | awk '$3 ~ /@@?QMVESKAR_4$/ { sub(/@.*/, "", $3); print $3 }'
    done
} | grep -v '^$' | sort -u)
[ -n "$names" ] || { echo "FAIL: no exported names found"; exit 1; }

count=0
for name in $names; do
    count=$((count + 1))
    entry=$mandir/man3/$name.3
    if [ ! -f "$entry" ]; then
        echo "FAIL: $name is exported but has no manual entry man3/$name.3"; status=1; continue
    fi
    page=$entry
    first=$(head -n 1 "$entry")
    [[ $first == ".so "* ]] && page=$mandir/${first#.so }
    if [ ! -f "$page" ]; then
        echo "FAIL: man3/$name.3 links to a missing page ${first#.so }"; status=1; continue
    fi
    where=$(basename "$page")
    # The NAME line: "a, b, c \- what".
    listed=$(sed -n '/^\.SH NAME$/{n;p;q}' "$page" | sed 's/ \\- .*//' | tr ',' '\n' | tr -d ' ')
    grep -qx -- "$name" <<<"$listed" || { echo "FAIL: $where does not list $name on its NAME line"; status=1; }
    synopsis=$(sed -n '/^\.SH SYNOPSIS$/,/^\.SH /p' "$page")
    grep -Eq "(^|[^A-Za-z0-9_])$name(\(|\[|;)" <<<"$synopsis" ||
        { echo "FAIL: the SYNOPSIS of $where does not declare $name"; status=1; }
    rest=$(sed -n '/^\.SH DESCRIPTION$/,$p' "$page")
    grep -Eq "(^|[^A-Za-z0-9_])$name([^A-Za-z0-9_]|$)" <<<"$rest" ||
        { echo "FAIL: $where never describes $name"; status=1; }
done
[ $status = 0 ] && echo "ok: the $count exported names have manual entries"
exit $status
