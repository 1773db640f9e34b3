#!/bin/bash
# man_examples_check.sh BINDIR SRCDIR - runs the EXAMPLES of the manual pages as printed.
# An example block (.EX .. .EE) is either a C program (it holds "main(") or a shell
# session: "$ command" lines, each followed by the output that the page shows for it
# (standard output and standard error as a terminal shows them). A program is compiled
# against the public header and libqmveskar.so (-m32 in the 32-bit build) into ./a.out;
# a session runs in the same folder, qmveskar(1)'s on the demonstration line (the
# simulator with scripts/demo/line.desc, its record as line 1, the demonstration's model
# files), and every command's output must equal the page's to the byte. "$ cat FILE" of a
# file that is not there shows what the unit holds: the shown lines become FILE. A
# program without a session (the bus client needs a server) is only compiled.
set -u
bin=$1 src=$2
[ "${QM_SANDBOX:-}" = 1 ] || { echo "FAIL: runs inside the test sandbox only"; exit 1; }
emu=${QM_EMULATOR:-}
work=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
status=0 ran=0 built=0
fail() { echo "FAIL: $*"; status=1; }

# Commands whose output changes from run to run: shown, not compared.
varying=("cat /dev/shm/discovery_perc")

# ---- the demonstration line, fresh for every command (a device's answers are counted) --
mkdir -p /etc/quor/db/devices /etc/quor/db/sysconfig /var/www/html/lang/include/systembin/jscript
cp "$src/scripts/demo/decode.models" "$src/scripts/demo/transtable.models" /etc/quor/db/devices/
db=/etc/quor/db/sysconfig/quorLan.db
line_up() {
    [ -n "$sim" ] && { kill "$sim"; wait "$sim" 2>/dev/null; }
    rm -f "$work/tty" "$db"
    $emu "$bin/qmfieldsim" -q -n "$work/tty" -l "$work/sim.log" "$src/scripts/demo/line.desc" &
    sim=$!
    for _ in $(seq 400); do [ -s "$work/tty" ] && break; sleep 0.05; done
    [ -s "$work/tty" ] || { echo "FAIL: the simulator did not come up"; exit 1; }
    sqlite3 "$db" < "$src/linedb/lines.sql" &&
        sqlite3 "$db" "INSERT INTO lines VALUES (1, '$(sed 's|^/dev/||' "$work/tty")', 9600, 0, 8, 1, 0, 0, 100, 0, 0, 0)" ||
        { echo "FAIL: cannot write the line record"; exit 1; }
}

# qmveskar as the page calls it: the build's command with the UART emulation.
export bin emu ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
qmveskar() {
    if [ -n "$emu" ]; then $emu -E LD_PRELOAD="$bin/libuartemu.so" "$bin/qmveskar" "$@"
    else LD_PRELOAD="$bin/libuartemu.so" "$bin/qmveskar" "$@"; fi
}
export -f qmveskar

cflags=(-Wall -Wextra -Werror -I "$src/util")
[ -n "$emu" ] && cflags+=(-m32)
[ -n "${QM_SANITIZE:-}" ] && cflags+=("-fsanitize=$QM_SANITIZE")
libs=(-L "$bin" -lqmveskar -lpthread -Wl,-rpath,"$bin")

# The text of the page's example blocks, escapes resolved; blocks end in a line "@@".
blocks() {
    sed -n '/^\.SH EXAMPLES/,/^\.SH /p' "$1" | sed -n '/^\.EX$/,/^\.EE$/p' |
        sed -e '/^\.EX$/d;s/^\.EE$/@@/' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" \
            -e 's/\\(dq/"/g' -e 's/\\&//g' -e 's/\\e/\\/g'
}

# Runs one session (file $1) in $work; page $2 for the messages.
session() {
    local count=0 cmd run
    local -a cmds=()
    while IFS= read -r line; do
        if [[ $line == '$ '* ]]; then
            count=$((count + 1)); cmds[$count]=${line#\$ }; : > "$work/want.$count"
        elif [ $count -gt 0 ]; then
            printf '%s\n' "$line" >> "$work/want.$count"
        fi
    done < "$1"
    for ((i = 1; i <= count; ++i)); do
        cmd=${cmds[$i]}
        if [[ " ${varying[*]} " == *" $cmd "* ]]; then
            echo "not compared ($2): \$ $cmd"; continue
        fi
        if [[ $cmd =~ ^cat\ ([^ ]+)$ ]] && [ ! -e "${BASH_REMATCH[1]}" ]; then
            cp "$work/want.$i" "${BASH_REMATCH[1]}"; continue
        fi
        run=$cmd
        [[ $cmd == ./* ]] && run="$emu $cmd"
        [[ $cmd == *qmveskar* ]] && line_up
        (cd "$work" && timeout 120 bash -c "$run") > "$work/got" 2>&1
        ran=$((ran + 1))
        cmp -s "$work/want.$i" "$work/got" ||
            fail "$2: \$ $cmd"$'\n'"$(diff -u --label page --label command "$work/want.$i" "$work/got" | sed 's/^/    /')"
    done
}

for page in "$src"/man/man1/*.1 "$src"/man/man3/*.3; do
    name=$(basename "$page")
    grep -q '\\[^-e&(]\|\\([^ad]' <(sed -n '/^\.SH EXAMPLES/,/^\.SH /p' "$page" | sed -n '/^\.EX$/,/^\.EE$/p') &&
        fail "$name: an escape in EXAMPLES that this check does not read"
    blocks "$page" > "$work/all"
    [ -s "$work/all" ] || continue
    rm -f "$work/a.out"
    n=0
    while :; do
        n=$((n + 1))
        awk -v n=$n 'BEGIN { b = 1 } /^@@$/ { b++; next } b == n' "$work/all" > "$work/block"
        [ -s "$work/block" ] || break
        if grep -q '^\$ ' "$work/block"; then
            session "$work/block" "$name"
        else
            if grep -q 'main(' "$work/block"; then
                cp "$work/block" "$work/example.c"
            else  # a fragment of a function body
                { printf '#include <%s>\n' stdio.h stdlib.h unistd.h qmveskar.h
                  echo 'int main(void) {'; cat "$work/block"; echo 'return 0; }'; } > "$work/example.c"
            fi
            if cc "${cflags[@]}" "$work/example.c" "${libs[@]}" -o "$work/a.out" 2> "$work/cc.err"; then
                built=$((built + 1))
            else
                fail "$name: the example does not compile:"$'\n'"$(sed 's/^/    /' "$work/cc.err")"
            fi
        fi
    done
done
[ $built -gt 0 ] && [ $ran -gt 0 ] || fail "no example found ($built programs, $ran commands)"
[ $status = 0 ] && echo "ok: $built example programs build, $ran example commands print what the pages show"
exit $status
