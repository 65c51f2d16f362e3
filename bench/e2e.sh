#!/usr/bin/env bash
# End to end: ipveil against the scanf/printf baseline (ipveil_baseline) on
# synthetic traces. Builds the bench preset, generates the traces, times each
# program with its output going to a file (best of 3 runs), checks the two
# outputs are identical byte for byte, and prints records/s, the ratio, and
# ipveil's peak resident memory.
#
#   bench/e2e.sh
# Environment: RECORDS (default 2000000), BASELINE_RECORDS (default 200000:
# the baseline is slow, so it runs on a smaller trace and the rates are
# compared; ipveil also runs on that trace for the byte comparison),
# WORK_DIR (default build/bench/e2e). Peak memory is read with GNU time
# (Debian package time) where it is installed, else with python3's resource
# module; this script installs nothing.
set -euo pipefail
[[ -x /usr/bin/time ]] || command -v python3 >/dev/null ||
    { echo "e2e.sh needs GNU time (package time) or python3 to read peak memory" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
echo "building (cmake --preset bench && cmake --build --preset bench)..." >&2
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

build=$root/build/bench
work=${WORK_DIR:-$build/e2e}
records=${RECORDS:-2000000}
baseline_records=${BASELINE_RECORDS:-200000}
mkdir -p "$work"

echo "generating traces ($records and $baseline_records records)..." >&2
"$build/bench/gen_trace" "$records" 1 >"$work/trace.txt"
"$build/bench/gen_trace" "$baseline_records" 2 >"$work/trace_small.txt"

# best_of3 OUT_FILE COMMAND... : runs the command three times with stdout to
# OUT_FILE and sets $best to the shortest wall time in seconds. The output
# file is removed before the clock starts, so truncating a large old file is
# not timed.
best_of3() {
    local out=$1
    shift
    best=
    for _ in 1 2 3; do
        rm -f "$out"
        local start=$EPOCHREALTIME
        "$@" >"$out"
        local end=$EPOCHREALTIME
        best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; if (b == "" || t < b) b = t; printf "%.6f", b }')
    done
}

# Peak resident memory in KiB of one run of the command, output discarded.
peak_kib() {
    if [[ -x /usr/bin/time ]]; then
        /usr/bin/time -f %M -o "$work/time.txt" "$@" >/dev/null
        cat "$work/time.txt"
    else
        python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@"
    fi
}

ipveil=$build/ipveil
baseline=$build/bench/ipveil_baseline

best_of3 "$work/ipveil.out" "$ipveil" "$work/trace.txt"
ipveil_time=$best
best_of3 "$work/ipveil_small.out" "$ipveil" "$work/trace_small.txt"
ipveil_small_time=$best
echo "running the baseline on $baseline_records records (3 runs)..." >&2
best_of3 "$work/baseline_small.out" "$baseline" "$work/trace_small.txt"
baseline_time=$best

status=0
if cmp "$work/ipveil_small.out" "$work/baseline_small.out"; then
    echo "outputs identical ($baseline_records records, $(wc -c <"$work/baseline_small.out") bytes)"
else
    echo "OUTPUTS DIFFER"
    status=1
fi
lines=$(wc -l <"$work/ipveil.out")
if [[ $lines -ne $records ]]; then
    echo "ipveil wrote $lines lines for $records records"
    status=1
fi

peak=$(peak_kib "$ipveil" "$work/trace.txt")

awk -v n="$records" -v t="$ipveil_time" -v ns="$baseline_records" -v ts="$ipveil_small_time" \
    -v tb="$baseline_time" -v peak="$peak" 'BEGIN {
    rate = n / t; rate_small = ns / ts; rate_base = ns / tb
    printf "ipveil    %9d records  %8.3f s  %7.2f M records/s   (target >= 16)\n", n, t, rate / 1e6
    printf "ipveil    %9d records  %8.3f s  %7.2f M records/s\n", ns, ts, rate_small / 1e6
    printf "baseline  %9d records  %8.3f s  %7.2f M records/s\n", ns, tb, rate_base / 1e6
    printf "ratio ipveil/baseline: %.1fx   (target >= 55x; ipveil on %d records against the baseline)\n", rate / rate_base, n
    printf "ipveil peak resident memory: %d KiB = %.2f MiB   (target < 8 MiB)\n", peak, peak / 1024
}'
exit $status
