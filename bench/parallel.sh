#!/usr/bin/env bash
# Several processes against one: the README's recipes for spreading one trace
# over the machine's processors, each timed against a single ipveil on the
# same trace, with every output checked byte for byte (cmp) against the
# single run's. The recipes take turns, round after round, and each keeps its
# best time, so that load from elsewhere on the machine spreads over all of
# them; ratios are of those best times.
#
#   bench/parallel.sh
# Environment: RECORDS (default 10000000), JOBS (processes, default nproc),
# ROUNDS (default 5), TRACE (a trace file to use instead of a generated one,
# e.g. an IPv6 trace), IPVEIL (default build/bench/ipveil), WORK_DIR (default
# build/bench/parallel; it needs room for about eight times the trace).
# Needs GNU parallel (Debian package parallel) for the recipes that use it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$root/build/bench
if [[ -z ${IPVEIL:-} || -z ${TRACE:-} ]]; then
    echo "building (cmake --preset bench && cmake --build --preset bench)..." >&2
    cmake --preset bench >/dev/null
    cmake --build --preset bench >/dev/null
fi
ipveil=${IPVEIL:-$build/ipveil}
work=${WORK_DIR:-$build/parallel}
jobs=${JOBS:-$(nproc)}
rounds=${ROUNDS:-5}
wrapper=$root/contrib/ipveil-parallel
mkdir -p "$work"
rm -f "$work"/*.out "$work"/pieces.*

trace=${TRACE:-$work/trace.txt}
if [[ -z ${TRACE:-} ]]; then
    records=${RECORDS:-10000000}
    echo "generating a trace of $records records..." >&2
    "$build/bench/gen_trace" "$records" 1 >"$trace"
fi
records=$(wc -l <"$trace")
# The trace already in files: split once, untimed.
mkdir -p "$work/traces" "$work/anonymized"
rm -f "$work"/traces/* "$work"/anonymized/*
split -n "l/$jobs" -d "$trace" "$work/traces/split."
have_parallel=$(command -v parallel || true)

# The recipes, as the README shows them, and where each leaves its output
# (a file, or pieces to be read in order).
one() { "$ipveil" "$trace" >"$work/one.out"; }
wrapper_stdout() { IPVEIL=$ipveil "$wrapper" -j "$jobs" "$trace" >"$work/wrapper.out"; }
wrapper_pieces() { IPVEIL=$ipveil "$wrapper" -j "$jobs" -o "$work/pieces" "$trace"; }
pieces_concatenated() { cat "$work"/pieces.* >"$work/concatenated.out"; }
gnu_pipepart() { parallel --pipepart -a "$trace" --block -1 -k -j "$jobs" "$ipveil" /dev/stdin >"$work/pipepart.out"; }
split_files() { parallel -j "$jobs" "$ipveil" {} '>' "$work"/anonymized/{/} ::: "$work"/traces/*; }
declare -A output=(
    [one]="$work/one.out" [wrapper_stdout]="$work/wrapper.out" [wrapper_pieces]="$work/pieces.*"
    [pieces_concatenated]="$work/concatenated.out" [gnu_pipepart]="$work/pipepart.out"
    [split_files]="$work/anonymized/*"
)

recipes=(one wrapper_stdout wrapper_pieces pieces_concatenated)
[[ -n $have_parallel ]] && recipes+=(gnu_pipepart split_files)

declare -A best
for ((round = 1; round <= rounds; ++round)); do
    echo "round $round of $rounds..." >&2
    for recipe in "${recipes[@]}"; do
        # Old outputs go before the clock starts: truncating is not timed.
        rm -f ${output[$recipe]}
        start=$EPOCHREALTIME
        "$recipe"
        end=$EPOCHREALTIME
        best[$recipe]=$(awk -v s="$start" -v e="$end" -v b="${best[$recipe]:-}" \
            'BEGIN { t = e - s; if (b == "" || t < b) b = t; printf "%.6f", b }')
    done
done

status=0
declare -A check
for recipe in "${recipes[@]}"; do
    # Globs of pieces sort in the order the pieces were written.
    if cat ${output[$recipe]} | cmp -s "$work/one.out" -; then
        check[$recipe]=identical
    else
        check[$recipe]=DIFFERS
        status=1
    fi
done

declare -A label=(
    [one]="ipveil trace > out (one process)"
    [wrapper_stdout]="contrib/ipveil-parallel trace > out"
    [wrapper_pieces]="contrib/ipveil-parallel -o pieces trace"
    [pieces_concatenated]="cat pieces.* > out (after -o)"
    [gnu_pipepart]="parallel --pipepart -k ... > out"
    [split_files]="parallel ipveil {} '>' anonymized/{/} ::: traces/*"
)
echo "$records records, $(wc -c <"$trace") bytes in, $(wc -c <"$work/one.out") bytes out; $jobs processes;" \
    "best of $rounds rounds; $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) processors"
for recipe in "${recipes[@]}"; do
    awk -v name="${label[$recipe]}" -v t="${best[$recipe]}" -v t1="${best[one]}" -v n="$records" \
        -v check="${check[$recipe]:-}" 'BEGIN {
        if (name ~ /^cat /) { printf "%-46s %7.3f s  (copying the output once more)  %s\n", name, t, check; exit }
        printf "%-46s %7.3f s  %6.2f M records/s  %5.2fx  %s\n", name, t, n / t / 1e6, t1 / t, check }'
done
exit $status
