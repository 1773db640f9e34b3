#!/bin/bash
# test.sh PRESET... - builds and tests every preset given, in order, each build overlapping
# the tests of the preset before it: most of a preset's test time is waiting (the field
# scans wait out the real hand-over and lock times, one at a time), so the next build takes
# the cores the tests leave, at a lower priority (nice) that keeps the tests' timing as it
# is when they run alone. The tests of two presets never run at the same time (their field
# scans would share the cores at real-time priority). Every preset runs even when an earlier
# one fails; the exit status and the last line report them all, and a line per step gives
# its time.
set -u
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
presets=("$@")
failed=""
log=$(mktemp -d /tmp/qmtest-logs.XXXX)
trap 'rm -rf "$log"' EXIT

# build PRESET [NICE]: configures and builds; its output goes to the log of that preset.
build() {
    local p=$1 start=$SECONDS
    { cmake --preset "$p" >/dev/null && nice -n "${2:-0}" cmake --build --preset "$p" -j"$jobs"; } \
        >"$log/build-$p" 2>&1
    local rc=$?
    echo "==== build $p: $((SECONDS - start)) s"
    return $rc
}

# The build of presets[0] alone, then each preset's tests beside the next one's build.
build "${presets[0]}" >"$log/time-0"
echo "$?" >"$log/rc-0"
for i in "${!presets[@]}"; do
    p=${presets[$i]}
    next=$((i + 1))
    pid=""
    if [ "$next" -lt "${#presets[@]}" ]; then
        (build "${presets[$next]}" 10 >"$log/time-$next"; echo "$?" >"$log/rc-$next") &
        pid=$!
    fi
    echo "==== preset $p"
    cat "$log/time-$i"
    if [ "$(cat "$log/rc-$i")" != 0 ]; then
        tail -n 60 "$log/build-$p"
        failed="$failed $p"
    else
        start=$SECONDS
        ctest --preset "$p" || failed="$failed $p"
        echo "==== tests $p: $((SECONDS - start)) s"
    fi
    [ -z "$pid" ] || wait "$pid"
done
if [ -n "$failed" ]; then
    echo "==== failed presets:$failed"
    exit 1
fi
echo "==== all presets passed: ${presets[*]}"
