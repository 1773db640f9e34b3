#!/bin/bash
# header_check.sh BINDIR SRCDIR - compiles a C99 program against the public header with
# the C compiler (-m32 in the 32-bit build), links it to libqmveskar.so and runs it.
set -eu
bin=$1 src=$2
m32=()
[ -n "${QM_EMULATOR:-}" ] && m32=(-m32)
# A sanitized library needs its runtime in the program too.
[ -n "${QM_SANITIZE:-}" ] && m32+=("-fsanitize=$QM_SANITIZE")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cc -std=c99 -Wall -Wextra -Werror -pedantic "${m32[@]}" -I "$src/util" "$src/tests/header_check.c" \
   -L "$bin" -lqmveskar -Wl,-rpath,"$bin" -o "$out/header_check"
${QM_EMULATOR:-} "$out/header_check"
