#!/bin/bash
# exports_check.sh BINDIR SRCDIR - the executable and the shared library export exactly
# the names of the version script, and the public header declares every one of them.
set -u
bin=$1 src=$2
map=$src/util/qmveskar.map
header=$src/util/qmveskar.h
if [ -n "${QM_SANITIZE:-}" ]; then
    echo "SKIP: sanitizer runtimes add their own dynamic exports"; exit 77
fi
want=$(sed -n '/global:/,/local:/p' "$map" | grep -v -e 'global:' -e 'local:' | tr ';' '\n' |
       tr -d ' \t' | grep -v '^$' | sort)
status=0
for f in "$bin/qmveskar" "$bin/libqmveskar.so"; do
    got=$(nm -D --defined-only "$f" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort)
    if [ "$got" != "$want" ]; then
        echo "FAIL: $f exports differ from the version script:"
        diff <(echo "$want") <(echo "$got") | sed 's/^/    /'
        status=1
    else
        echo "ok: $f exports the $(echo "$want" | wc -l) names of the API"
    fi
done
for name in $want; do
    if ! grep -Eq "[^A-Za-z0-9_]$name(\[|\(| *;)" "$header"; then
        echo "FAIL: $name is exported but not declared in qmveskar.h"; status=1
    fi
done
exit $status
