#!/bin/bash
# libfuzzer.sh TARGET [SECONDS] - builds one fuzz target with clang's libFuzzer and
# AddressSanitizer against the sources of the default build, and runs it in the sandbox.
set -eu
target=$1 seconds=${2:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/.b/libfuzzer
mkdir -p "$out/corpus-$target"
cmake -S "$top" -B "$out/build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DQM_SANITIZE=address,fuzzer-no-link -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build "$out/build" -j"$(nproc)" --target qmdiscovery qmcore >/dev/null
clang++ -std=c++20 -g -fsanitize=fuzzer,address -I"$top/util" -I"$top/seriallink" \
    -I"$top/msgbus" -I"$top/discovery" -I"$top/linedb" "$top/fuzz/$target.cpp" \
    "$out/build/discovery/libqmdiscovery.a" "$out/build/libqmcore.a" \
    -L"$out/build" -lquordb -Wl,-rpath,"$out/build" -lpthread -o "$out/$target"
exec "$top/testbench/sandbox/qmsandbox" "$out/$target" -max_total_time="$seconds" "$out/corpus-$target"
