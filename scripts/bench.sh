#!/bin/bash
# bench.sh [BUILD] - runs every benchmark of the default build and prints the figures.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
b=${1:-build}; case "$b" in /*) ;; *) b=$top/$b ;; esac
for program in "$b"/*_bench; do
    [ -x "$program" ] || continue
    echo "==== $(basename "$program")"
    "$top/testbench/sandbox/qmsandbox" "$program"
done
echo "==== discovery scan"
/usr/bin/python3 "$top/bench/discovery/scan_bench.py" "$b"
