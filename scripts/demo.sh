#!/bin/bash
# demo.sh [BUILD] - runs qmveskar on the virtual field line: the device simulator on its own
# pty pair with the controllers of scripts/demo/line.desc, the UART emulation preloaded into
# the unmodified command, a line record in the line database, sample decode.models and
# transtable.models. Everything happens inside the test sandbox and vanishes with it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
b=${1:-build}; case "$b" in /*) ;; *) b=$top/$b ;; esac
build=$(cd "$b" && pwd)
if [ "${QM_SANDBOX:-}" != 1 ]; then
    exec env QM_SOURCE_DIR="$top" QM_BIN_DIR="$build" "$top/testbench/sandbox/qmsandbox" "$0" "$build"
fi

demo=$top/scripts/demo
cp "$demo/decode.models" "$demo/transtable.models" /etc/quor/db/devices/
"$build/qmfieldsim" -q -n /tmp/demo.tty -l /tmp/demo.log "$demo/line.desc" &
sim=$!
trap 'kill $sim 2>/dev/null; wait 2>/dev/null' EXIT
for _ in $(seq 200); do [ -s /tmp/demo.tty ] && break; sleep 0.05; done
tty=$(sed 's|^/dev/||' /tmp/demo.tty)
db=/etc/quor/db/sysconfig/quorLan.db
sqlite3 "$db" < "$top/linedb/lines.sql"
sqlite3 "$db" "INSERT INTO lines VALUES (1, '$tty', 9600, 0, 8, 1, 0, 0, 100, 0, 0, 0)"

args=(1 15,16,17,18,19,20,255)
echo "== bench line 1 on /dev/$tty, 9600 8N1; controllers at 15, 17, 18, 19 and the line-test responder"
echo "== qmveskar ${args[*]}      (progress file on the right, report lines on the left)"
LD_PRELOAD=$build/libuartemu.so UARTEMU_TRACE=/tmp/demo.trace "$build/qmveskar" "${args[@]}" &
cmd=$!
last=
while kill -0 $cmd 2>/dev/null; do
    v=$(cat /dev/shm/discovery_perc 2>/dev/null || echo gone)
    if [ "$v" != "$last" ]; then printf '%60s\n' "[discovery_perc: $v]"; last=$v; fi
    sleep 0.01
done
wait $cmd && status=0 || status=$?
printf '%60s\n' "[discovery_perc: $( [ -e /dev/shm/discovery_perc ] && cat /dev/shm/discovery_perc || echo removed)]"
echo "== exit status $status; the simulator saw $(grep -c ' rx ' /tmp/demo.log) requests"
if [ -x "$top/testbench/uartemu/trace2svg.py" ] || [ -f "$top/testbench/uartemu/trace2svg.py" ]; then
    /usr/bin/python3 "$top/testbench/uartemu/trace2svg.py" /tmp/demo.trace -o "$build/demo-timing.svg" >/dev/null 2>&1 \
        && echo "== timing diagram of the run: $build/demo-timing.svg"
fi
