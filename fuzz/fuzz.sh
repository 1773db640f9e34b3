#!/bin/bash
# fuzz.sh - runs the libFuzzer targets of a fuzz build (QM_FUZZ) and prints one table row
# per target: executions, executions per second (wall clock, start-up included), coverage (cov/ft), corpus size, findings.
# Must run inside the sandbox (testbench/sandbox/qmsandbox): several targets write the
# unit's fixed paths, and each target gets a private sandbox of its own inside it.
#
#   fuzz.sh run BUILD [RUNS]      long run, RUNS executions per target (default 10000000);
#                                 the corpus grows in BUILD/corpus/<target>, findings go to
#                                 BUILD/findings/<target>/, logs to BUILD/logs/
#   fuzz.sh replay BUILD [RUNS]   every input of fuzz/corpus/<target>/, then RUNS executions
#                                 (default 20000) from a scratch corpus; for the tests
#
# FUZZ_JOBS targets run at once (default: the number of processors); FUZZ_TARGETS limits
# the run to the named targets. The exit status is 1 when any target found something.
set -u
mode=${1:?run or replay} build=$(readlink -f "${2:?fuzz build folder}")
top=$(cd "$(dirname "$0")/.." && pwd)
case $mode in
    run) runs=${3:-10000000} ;;
    replay) runs=${3:-20000} ;;
    *) echo "fuzz.sh: mode is run or replay" >&2; exit 2 ;;
esac
if [ "${QM_SANDBOX:-}" != 1 ]; then
    echo "fuzz.sh: run it inside testbench/sandbox/qmsandbox" >&2
    exit 2
fi
jobs=${FUZZ_JOBS:-$(nproc)}
targets=${FUZZ_TARGETS:-$(cd "$top/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//')}
for t in $targets; do
    [ -x "$build/$t" ] || { echo "fuzz.sh: $build/$t is not built" >&2; exit 2; }
done

work=$build/fuzz-$mode
mkdir -p "$work/findings" "$work/scratch" "$work/logs"

# one target: its libFuzzer run, then a summary line in logs/<target>.row
one() {
    local t=$1 seeds=$top/fuzz/corpus/$1 corpus log=$work/logs/$1.log
    if [ "$mode" = run ]; then
        corpus=$build/corpus/$t
    else
        corpus=$work/scratch/$t
    fi
    rm -rf "$work/findings/$t" "$work/scratch/$t" "$log" "$work/logs/$t.row"
    mkdir -p "$corpus" "$work/findings/$t" "$seeds"
    local status=0 start rss=2048
    # The AddressSanitizer runtime keeps about 190 bytes for every thread that the process
    # ever created, whatever the thread did; busreader_fuzz starts a reader thread per input
    # and so grows by about 0.2 GB per million executions without any leak of its own (built
    # without ASan it stays flat). Its RSS limit is raised for that; a single allocation is
    # still held to 2048 MB, and LeakSanitizer still sees every leak.
    [ "$t" = busreader_fuzz ] && rss=4096
    start=$(date +%s.%N)
    # A sandbox of its own: targets that run at once must not see each other's store,
    # dictionaries or state files (the store's language of one is another's fuzzed input).
    (cd "$work/scratch" && env -u QM_SANDBOX_INSIDE QM_SOURCE_DIR="$top" QM_BIN_DIR="$build" \
        "$top/testbench/sandbox/qmsandbox" "$build/$t" -runs="$runs" -seed=1 -timeout=10 -rss_limit_mb=$rss -malloc_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -error_exitcode=1 -timeout_exitcode=1 \
        -artifact_prefix="$work/findings/$t/" "$corpus" "$seeds") >"$log" 2>&1 || status=$?
    local execs rate cov ft size found
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(awk -v n="${execs:-0}" -v a="$start" -v b="$(date +%s.%N)" \
        'BEGIN { printf "%d", (b > a) ? n / (b - a) : 0 }')
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 | awk '{print $2 "/" $4}')
    size=$(find "$corpus" "$seeds" -type f | wc -l)
    found=$(find "$work/findings/$t" -type f | wc -l)
    [ "$status" = 0 ] || [ "$found" -gt 0 ] || found=1   # an exit without an artefact
    printf '%s %s %s %s %s %s\n' "$t" "${execs:-0}" "${rate:-0}" "${cov:-0/0}" "$size" "$found" \
        >"$work/logs/$t.row"
}

running=0
for t in $targets; do
    one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

printf '| %-20s | %12s | %8s | %11s | %6s | %8s |\n' target executions exec/s cov/ft corpus findings
printf '|%s|%s|%s|%s|%s|%s|\n' ---------------------- -------------: ---------: ------------: -------: ---------:
failed=0
for t in $targets; do
    read -r name execs rate cov size found <"$work/logs/$t.row"
    printf '| %-20s | %12s | %8s | %11s | %6s | %8s |\n' "$name" "$execs" "$rate" "$cov" "$size" "$found"
    if [ "$found" != 0 ]; then
        failed=1
        echo "---- $t: $(ls "$work/findings/$t" | tr '\n' ' ')" >&2
        grep -E 'ERROR|SUMMARY|runtime error|Assertion|abort' "$work/logs/$t.log" | head -5 >&2
    fi
done
[ "$failed" = 0 ] || echo "findings are in $work/findings, the logs in $work/logs" >&2
exit $failed
