#!/bin/bash
# guest_check.sh BUILD - the i386 build on a real i386 kernel and its 8250 driver (one
# guest boot, testbench/guest/qmguest): the demonstration line's report lines to the byte
# with the line test through the UART's own loopback, 8E1 and 7O2 lines, SCHED_FIFO granted
# to root, a hand-over on the real port during a scan longer than 10 s, SIGTERM/SIGINT
# that do not end that scan, and the bus client's pressure conditions on the guest's own
# TCP stack. Timing under QEMU is not a wire's: no times are asserted.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
[ "${QM_SANDBOX:-}" = 1 ] || { echo "guest_check: outside the test sandbox" >&2; exit 1; }
plan=/tmp/guestplan
mkdir -p "$plan/files/etc/quor/db/devices"
cp "$top/scripts/demo/decode.models" "$top/scripts/demo/transtable.models" \
    "$plan/files/etc/quor/db/devices/"
cp "$top/scripts/demo/line.desc" "$plan/ttyS1.desc"
reference='device 15
reg 0 0x0123
reg 1 0x4142 0x1EE3
reg 6 0x0107'
printf 'line 9600 8E1\n%s\n' "$reference" > "$plan/ttyS2.desc"
printf 'line 19200 7O2\n%s\n' "$reference" > "$plan/ttyS3.desc"
# QEMU does not pace the line, and on a loaded host the simulators (the i386 build, under
# qemu-i386) and the guest may answer late, most of all in a line's first exchange: the
# lines wait 500 ms for a reply.
cat > "$plan/lines.sql" <<'SQL'
INSERT INTO lines VALUES (1, 'ttyS1', 9600, 0, 8, 1, 0, 0, 500, 0, 0, 0);
INSERT INTO lines VALUES (2, 'ttyS2', 9600, 2, 8, 1, 0, 0, 500, 0, 0, 0);
INSERT INTO lines VALUES (3, 'ttyS3', 19200, 1, 7, 2, 0, 0, 500, 0, 0, 0);
SQL
echo bus_bench > "$plan/programs"
cat > "$plan/run.sh" <<'GUEST'
show() {
    echo "== case $1 status $2"
    echo "-- stdout"; cat "/tmp/$1.out"; echo "-- stderr"; cat "/tmp/$1.err"; echo "-- end"
}
qmveskar 1 15,16,17,18,19,20,255 >/tmp/demo.out 2>/tmp/demo.err; show demo $?
qmveskar 2,3 15 15 >/tmp/framing.out 2>/tmp/framing.err; show framing $?
# A scan longer than 10 s (24 addresses, most of them absent: 550 ms each): the port is
# handed over once. A watcher notes when the port, once seen open, is closed with the lock
# released, and when it is open again; SIGTERM and SIGINT arrive during the scan before
# and after the hand-over.
qmveskar 1 1 24 -d >/tmp/handover.out 2>/tmp/handover.err &
pid=$!
state=starting; n=0
while kill -0 $pid 2>/dev/null; do
    fds=$(ls -l /proc/$pid/fd 2>/dev/null | grep -c /dev/ttyS1)
    if [ $state = starting ] && [ "$fds" != 0 ]; then
        state=open
    elif [ $state = open ] && [ "$fds" = 0 ] && [ ! -e /dev/shm/uart_lck ] && kill -0 $pid 2>/dev/null; then
        echo closed >> /tmp/watch; state=closed
    elif [ $state = closed ] && [ "$fds" != 0 ]; then
        echo reopened >> /tmp/watch; state=reopened
    fi
    [ $state = starting ] || n=$((n + 1))
    if [ $n = 10 ] && [ $state = open ]; then kill -TERM $pid; kill -INT $pid; fi
    [ $state = reopened ] && [ ! -e /tmp/signalled ] && { kill -TERM $pid; touch /tmp/signalled; }
    sleep 0.2
done
wait $pid; status=$?
cat /tmp/watch >> /tmp/handover.err 2>/dev/null
show handover $status
# The bus client under pressure on the unit's kernel and its default TCP window, client
# and test server both in the guest, over loopback.
bus_bench pressure 8 >/tmp/buspressure.out 2>/tmp/buspressure.err; show buspressure $?
GUEST

console=/tmp/guest.console
"$top/testbench/guest/qmguest" -b "$build" -o "$console" "$plan" > /tmp/guest.stdout
rc=$?
[ $rc = 77 ] && exit 77
fail=0
check() { # name expected actual
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1"; echo "  expected: $(printf '%s' "$2" | od -c | head -n 20)"
        echo "  actual:   $(printf '%s' "$3" | od -c | head -n 20)"; fail=1
    else
        echo "ok: $1"
    fi
}
section() { # case part (stdout|stderr): the text between the markers, byte for byte
    awk -v c="$1" -v part="$2" '
        $0 == "== case " c " status " st { }
        index($0, "== case " c " ") == 1 { incase = 1; next }
        incase && $0 == "-- " part { on = 1; next }
        incase && on && /^-- (stdout|stderr|end)$/ { exit }
        on { print }' "$console"
}
statusof() { sed -n "s/^== case $1 status //p" "$console"; }
[ $rc = 0 ] || { echo "FAIL: qmguest exit $rc"; fail=1; }

demo='00000000001,015,0001,0023,XAB123C,0107,[ 41 42 1e e3 ]
00000000001,016
00000000001,017
00000000001,018,0002,0005,VX5-PLUS,0200,[ 43 35 00 41 ]
00000000001,019
00000000001,020
10101010'
check "demonstration line, line test 10101010 through the real loopback and the 249 poll" \
    "$demo" "$(section demo stdout)"
check "demonstration exit status" 0 "$(statusof demo)"
check "8E1 and 7O2 lines: the driver takes the modes and the exchange works" \
    "00000000002,015,0001,0023,XAB123C,0107,[ 41 42 1e e3 ]
00000000003,015,0001,0023,XAB123C,0107,[ 41 42 1e e3 ]" "$(section framing stdout)"
for c in demo framing handover; do
    check "SCHED_FIFO granted to root ($c: no scheduler error)" "" \
        "$(section $c stderr | grep 'errore scheduler')"
done
out=$(section handover stdout)
check "scan across the hand-over: one line per address 1..24, in order" \
    "$(seq -f '00000000001,%03g' 1 24 | tr '\n' ' ')" \
    "$(printf '%s\n' "$out" | cut -d, -f1,2 | tr '\n' ' ')"
check "address 15 after the signals" "00000000001,015,0001,0023,XAB123C,0107,[ 41 42 1e e3 ]" \
    "$(printf '%s\n' "$out" | grep '^00000000001,015')"
err=$(section handover stderr)
check "hand-over: port closed with the lock released, then reopened" "closed reopened" \
    "$(printf '%s\n' "$err" | grep -x 'closed\|reopened' | tr '\n' ' ' | sed 's/ $//')"
check "hand-over traced" yes "$([ "$(printf '%s\n' "$err" | grep -c 'GRANT')" -ge 1 ] && echo yes)"
check "SIGTERM and SIGINT during the scan: it ran to its end" 0 "$(statusof handover)"
section buspressure stdout
check "bus client under pressure: no message corrupted or lost, no signal" 0 "$(statusof buspressure)"
if [ $fail != 0 ]; then
    echo "---- console"; cat "$console"
    for log in "$build"/guest/run/ttyS*.log; do
        [ -f "$log" ] && { echo "---- simulator log $(basename "$log") (its last 40 lines)"; tail -n 40 "$log"; }
    done
fi
exit $fail
