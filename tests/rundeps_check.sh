#!/bin/bash
# rundeps_check.sh BINDIR - the product binaries need nothing at run time beyond the C library:
# qmveskar needs libc.so.6 and libquordb.so, libqmveskar.so.4 libc.so.6 alone, libquordb.so
# libc.so.6 and SQLite (and each libpthread.so.0 besides where the C library, older than
# 2.34, still keeps the threads apart). The only symbol versions they ask for are the C
# library's, none newer than GLIBC_2.34 (the least C library the README names), and every
# other undefined symbol is the neighbour library's (LinkDb..., sqlite3_...). A sanitizer
# build needs the sanitizer's runtimes besides: there the libraries above must be needed, no
# symbol may ask for the C++ run time, and the versions are held to the same limit.
set -u
bin=$1
newest=2.34
status=0

glibc=$(getconf GNU_LIBC_VERSION | awk '{print $2}')
threads=
if [ "$(printf '%s\n' "$glibc" 2.34 | sort -V | head -n1)" != 2.34 ]; then
    threads=libpthread.so.0
fi
sanitized=${QM_SANITIZE:-}

# check FILE NEIGHBOUR-SYMBOLS NEEDED...: prints ok lines, or FAIL lines and sets status.
check() {
    local file=$1 neighbour=$2
    shift 2
    local name=${file##*/} bad=0
    fail() { echo "FAIL: $name $*"; bad=1; status=1; }
    [ -e "$file" ] || { fail "is not built"; return; }

    local want got
    want=$(printf '%s\n' "$@" $threads | sort)
    got=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
    if [ -z "$sanitized" ]; then
        [ "$got" = "$want" ] || fail "needs $(echo $got), not $(echo $want)"
    else
        local missing
        missing=$(comm -23 <(echo "$want") <(echo "$got"))
        [ -z "$missing" ] || fail "does not need $(echo $missing)"
    fi

    # Symbol versions by library: "F file" and "V version" lines.
    local versions foreign cxx newer
    versions=$(readelf -V -W "$file" | sed -n '/Version needs/,$p' |
               sed -n 's/.*File: \([^ ]*\).*/F \1/p; s/.*Name: \([^ ]*\).*/V \1/p')
    foreign=$(echo "$versions" | awk '$1 == "F" && $2 != "libc.so.6" {print $2}')
    [ -n "$sanitized" ] || [ -z "$foreign" ] || fail "asks for symbol versions of $(echo $foreign)"
    cxx=$(nm -D --undefined-only "$file" |
          grep -E '@(GLIBCXX|CXXABI|GCC)_|__gxx_personality|_Unwind_|__cxa_(allocate|throw|begin)' |
          awk '{print $2}')
    [ -z "$cxx" ] || fail "asks for the C++ run time: $(echo $cxx | cut -c1-300)"
    newer=$(echo "$versions" | sed -n 's/^V GLIBC_//p' | while read -r v; do
                [ "$(printf '%s\n' "$v" $newest | sort -V | tail -n1)" = $newest ] || echo "GLIBC_$v"
            done)
    [ -z "$newer" ] || fail "asks for $(echo $newer), newer than GLIBC_$newest"

    # Undefined symbols without a version: the neighbour's. (A sanitizer runtime defines the C
    # library's functions it intercepts without versions: not checked there.)
    local loose
    loose=$(nm -D --undefined-only "$file" | awk '$1 == "U" && $2 !~ /@/ {print $2}' |
            grep -Ev "^($neighbour)\$")
    [ -n "$sanitized" ] || [ -z "$loose" ] || fail "leaves undefined: $(echo $loose | cut -c1-300)"

    [ $bad = 1 ] && return
    local extra=
    [ -z "$sanitized" ] || extra=" (with the sanitizer runtimes: $(echo $(comm -13 <(echo "$want") <(echo "$got"))))"
    echo "ok: $name needs $(echo $want)$extra, GLIBC_ versions up to" \
         "$(echo "$versions" | sed -n 's/^V GLIBC_//p' | sort -V | tail -n1)"
}

check "$bin/qmveskar" 'LinkDb|GetRecordData|FreeFields' libc.so.6 libquordb.so
check "$bin/libqmveskar.so.4" '' libc.so.6
check "$bin/libquordb.so" 'sqlite3_[a-z0-9_]+' libc.so.6 libsqlite3.so.0
exit $status
