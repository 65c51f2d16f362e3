#!/usr/bin/env bash
# End to end: ipveil against the straightforward scanf/printf version
# (ipveil_baseline) and against ipveil as built from an older commit, on
# synthetic traces of uniformly random addresses, output to a file. Builds
# the bench preset and the older commit, generates the traces, times each
# program (the best of RUNS runs, the programs taking turns so that a drift
# in the machine's speed hits them alike), checks that the outputs are
# identical byte for byte, and prints records/s, the ratios and ipveil's
# peak resident memory. Then ipveil on an all-IPv6 and a mixed trace, against
# the older ipveil where it reads IPv6 (1500a7a does, 1a54652 does not); the
# baseline never does.
#
#   bench/e2e.sh
# Needs git and commit 1a54652 in the repository's history (a clone, not a
# source tarball or a shallow clone) for the older ipveil, or OLD_COMMIT=
# (empty) to leave that comparison out; GNU time (Debian package time) for
# the peak memory; and what the bench preset builds with (libbenchmark-dev,
# libssl-dev). This script installs nothing.
# Environment: RECORDS (default 2000000), BASELINE_RECORDS (default 200000:
# the baseline is slow, so it runs on a smaller trace and the rates are
# compared; ipveil also runs on that trace for the byte comparison),
# OLD_COMMIT (default 1a54652, the command before batches and 512-bit VAES;
# empty to skip), RUNS (default 5), WORK_DIR (default build/bench/e2e),
# PIN_CPU (default 0: every timed run on that processor, through taskset, so
# that no run is moved between processors; empty for none).
set -euo pipefail
refuse() {
    echo "e2e.sh: $*" >&2
    exit 1
}
# Not python's resource module: a child of the interpreter starts as a copy
# of it, and its peak resident memory counts the interpreter's (about 10 MiB
# where ipveil itself peaks at 3 to 4).
[[ -x /usr/bin/time ]] || refuse "needs GNU time (Debian package time) to read ipveil's peak memory"
old_commit=${OLD_COMMIT-1a54652}
if [[ -n $old_commit ]]; then
    command -v git >/dev/null || refuse "needs git to build ipveil at $old_commit (OLD_COMMIT= leaves it out)"
    git -C "$(dirname "$0")" rev-parse --verify --quiet "$old_commit^{commit}" >/dev/null ||
        refuse "commit $old_commit is not in this repository's history (a shallow clone or a tarball?);" \
            "OLD_COMMIT= leaves that comparison out"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
echo "building (cmake --preset bench && cmake --build --preset bench)..." >&2
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

build=$root/build/bench
work=${WORK_DIR:-$build/e2e}
records=${RECORDS:-2000000}
baseline_records=${BASELINE_RECORDS:-200000}
runs=${RUNS:-5}
mkdir -p "$work"
pin=()
if [[ -n ${PIN_CPU-0} ]] && command -v taskset >/dev/null; then pin=(taskset -c "${PIN_CPU-0}"); fi

ipveil=$build/ipveil
baseline=$build/bench/ipveil_baseline
old=
if [[ -n $old_commit ]]; then
    # The older commit's sources, exported (not checked out), built once
    # per commit with its own default preset and the same compiler.
    hash=$(git rev-parse --short "$old_commit^{commit}")
    old_dir=$build/old-$hash
    old=$old_dir/ipveil
    if [[ ! -x $old ]]; then
        echo "building ipveil at $hash into $old_dir..." >&2
        rm -rf "$old_dir.src" && mkdir -p "$old_dir.src"
        git archive "$hash" | tar -x -C "$old_dir.src"
        cmake -S "$old_dir.src" -B "$old_dir" -DCMAKE_BUILD_TYPE=Release -DIPVEIL_BUILD_TESTS=OFF >/dev/null
        cmake --build "$old_dir" --target ipveil -j 2 >/dev/null
        [[ -x $old ]] || old=$(find "$old_dir" -name ipveil -type f -perm -u+x | head -n 1)
    fi
fi

echo "generating traces ($records and $baseline_records records)..." >&2
"$build/bench/gen_trace" "$records" 1 >"$work/trace.txt"
"$build/bench/gen_trace" "$baseline_records" 2 >"$work/trace_small.txt"
"$build/bench/gen_trace" "$records" 3 100 >"$work/trace_ipv6.txt"
"$build/bench/gen_trace" "$records" 4 30 >"$work/trace_mixed.txt"

# time_once OUT COMMAND...: one run with stdout to OUT, its wall time in
# seconds in $elapsed. The output file is removed before the clock starts,
# so truncating a large old file is not timed.
time_once() {
    local out=$1
    shift
    rm -f "$out"
    local start=$EPOCHREALTIME
    "${pin[@]}" "$@" >"$out"
    local end=$EPOCHREALTIME
    elapsed=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }')
}

# best_of NAME... : the programs named take turns, RUNS times; the shortest
# time of each goes into best[NAME]. The commands are cmd[NAME], outputs
# out[NAME].
declare -A best cmd out
best_of() {
    local name
    for name in "$@"; do best[$name]=; done
    for ((i = 0; i < runs; i++)); do
        for name in "$@"; do
            # shellcheck disable=SC2086
            time_once "${out[$name]}" ${cmd[$name]}
            best[$name]=$(awk -v t="$elapsed" -v b="${best[$name]}" 'BEGIN { if (b == "" || t < b) b = t; printf "%.6f", b }')
        done
    done
}

# Peak resident memory in KiB of one run of the command, output discarded.
peak_kib() {
    /usr/bin/time -f %M -o "$work/time.txt" "$@" >/dev/null
    cat "$work/time.txt"
}

cmd[new]="$ipveil $work/trace.txt" out[new]=$work/ipveil.out
cmd[new_small]="$ipveil $work/trace_small.txt" out[new_small]=$work/ipveil_small.out
cmd[baseline]="$baseline $work/trace_small.txt" out[baseline]=$work/baseline_small.out
cmd[ipv6]="$ipveil $work/trace_ipv6.txt" out[ipv6]=$work/ipveil_ipv6.out
cmd[mixed]="$ipveil $work/trace_mixed.txt" out[mixed]=$work/ipveil_mixed.out
names=(new)
names6=(ipv6 mixed)
old_ipv6=
if [[ -n $old ]]; then
    cmd[old]="$old $work/trace.txt" out[old]=$work/old.out
    names+=(old)
    if printf '1.5 60 2001:db8::1\n' | "$old" /dev/stdin >/dev/null 2>&1; then
        old_ipv6=1
        cmd[old_ipv6]="$old $work/trace_ipv6.txt" out[old_ipv6]=$work/old_ipv6.out
        cmd[old_mixed]="$old $work/trace_mixed.txt" out[old_mixed]=$work/old_mixed.out
        names6+=(old_ipv6 old_mixed)
    fi
fi
echo "timing ipveil${old:+ and ipveil at $old_commit} on $records records ($runs runs each)..." >&2
best_of "${names[@]}"
echo "timing ipveil and the baseline on $baseline_records records..." >&2
best_of new_small baseline
echo "timing ipveil${old_ipv6:+ and ipveil at $old_commit} on IPv6 and mixed traces..." >&2
best_of "${names6[@]}"

status=0
check_same() {
    if cmp -s "$1" "$2"; then
        echo "outputs identical: $3 ($(wc -c <"$1") bytes)"
    else
        echo "OUTPUTS DIFFER: $3"
        status=1
    fi
}
check_same "${out[new_small]}" "${out[baseline]}" "ipveil and the baseline, $baseline_records records"
[[ -n $old ]] && check_same "${out[new]}" "${out[old]}" "ipveil and ipveil at $old_commit, $records records"
if [[ -n $old_ipv6 ]]; then
    check_same "${out[ipv6]}" "${out[old_ipv6]}" "ipveil and ipveil at $old_commit, all IPv6"
    check_same "${out[mixed]}" "${out[old_mixed]}" "ipveil and ipveil at $old_commit, 30% IPv6"
fi
for name in new ipv6 mixed; do
    lines=$(wc -l <"${out[$name]}")
    if [[ $lines -ne $records ]]; then
        echo "ipveil wrote $lines lines for $records records (${cmd[$name]})"
        status=1
    fi
done

peak=$(peak_kib "$ipveil" "$work/trace.txt")
peak6=$(peak_kib "$ipveil" "$work/trace_ipv6.txt")
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')

awk -v n="$records" -v t="${best[new]}" -v told="${best[old]:-}" -v ns="$baseline_records" -v ts="${best[new_small]}" \
    -v tb="${best[baseline]}" -v t6="${best[ipv6]}" -v tm="${best[mixed]}" -v peak="$peak" -v peak6="$peak6" \
    -v commit="$old_commit" -v cpu="$cpu" -v to6="${best[old_ipv6]:-}" -v tom="${best[old_mixed]:-}" 'BEGIN {
    rate = n / t; rate_small = ns / ts; rate_base = ns / tb
    printf "CPU: %s\n", cpu
    printf "ipveil              %9d records  %8.3f s  %7.2f M records/s\n", n, t, rate / 1e6
    if (told != "") {
        printf "ipveil at %-9s %9d records  %8.3f s  %7.2f M records/s\n", commit, n, told, n / told / 1e6
    }
    printf "ipveil              %9d records  %8.3f s  %7.2f M records/s\n", ns, ts, rate_small / 1e6
    printf "baseline            %9d records  %8.3f s  %7.2f M records/s\n", ns, tb, rate_base / 1e6
    if (told != "") printf "ratio ipveil / ipveil at %s: %.2fx   (same trace, same run)\n", commit, told / t
    printf "ratio ipveil / baseline: %.1fx   (ipveil on %d records against the baseline on %d)\n", rate / rate_base, n, ns
    printf "ipveil, all IPv6    %9d records  %8.3f s  %7.2f M records/s\n", n, t6, n / t6 / 1e6
    printf "ipveil, 30%% IPv6    %9d records  %8.3f s  %7.2f M records/s\n", n, tm, n / tm / 1e6
    if (to6 != "") {
        printf "ipveil at %s, all IPv6 / 30%% IPv6: %.3f / %.3f s; ratios %.2fx / %.2fx   (same traces, same run)\n",
               commit, to6, tom, to6 / t6, tom / tm
    }
    printf "ipveil peak resident memory: %d KiB = %.2f MiB (IPv4), %d KiB = %.2f MiB (IPv6)   (target < 8 MiB)\n",
           peak, peak / 1024, peak6, peak6 / 1024
}'
exit $status
