#!/bin/bash
# demo.sh - runs the discovery command on the virtual field line, inside the sandbox.
set -eu
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -x "$top/testbench/benchline/demo.sh" ]; then
    exec "$top/testbench/benchline/demo.sh" "$top/$build"
fi
"$top/$build/qmveskar" -r
