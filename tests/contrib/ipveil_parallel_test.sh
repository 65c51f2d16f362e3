#!/usr/bin/env bash
# contrib/ipveil-parallel against one ipveil on the same input: the same
# standard output byte for byte (or, with -o, pieces that concatenate to it),
# the same messages and the same exit status, for whole traces cut into any
# number of pieces, for malformed records in the first, a middle and the last
# piece (the line counted over the whole trace), and for inputs that cannot be
# cut or opened.
#
#   ipveil_parallel_test.sh SOURCE_DIR IPVEIL VERSION
source "$(dirname "$0")/../shell_test_support.sh"

source_dir=$1 ipveil=$2 version=$3
wrapper=$source_dir/contrib/ipveil-parallel
export IPVEIL=$ipveil
# The pieces are bounded by the processors, which GNU nproc reads from here:
# sixteen, so that the cuts below are all exercised on a small machine.
export OMP_NUM_THREADS=16

# 60000 lines of pseudo-random records, IPv4 and IPv6, every seventh line
# holding two.
awk 'BEGIN {
    x = 12345
    for (i = 1; i <= 60000; ++i) {
        for (k = 0; k < (i % 7 == 0 ? 2 : 1); ++k) {
            x = (x * 1103515245 + 12345) % 2147483648
            if (i % 5 == 0)  # IPv6 records among the IPv4 ones
                printf "%s%d.%06d %d fe80::%x:%x", k ? " " : "", i / 1000, (i * 37) % 1000000, 40 + x % 1461,
                       x % 65536, int(x / 65536) % 65536
            else
                printf "%s%d.%06d %d %d.%d.%d.%d", k ? " " : "", i / 1000, (i * 37) % 1000000, 40 + x % 1461,
                       x % 256, int(x / 256) % 256, int(x / 65536) % 256, int(x / 16777216) % 256
        }
        printf "\n"
    }
}' >"$scratch/trace.txt"
lines=$(wc -l <"$scratch/trace.txt")
"$ipveil" "$scratch/trace.txt" >"$scratch/trace-one.out"
# The same trace with a malformed record on line N.
broken() { awk -v n="$1" 'NR == n { $3 = "10.0.0.x" } { print }' "$scratch/trace.txt" >"$scratch/broken-$1.txt"; }
broken 12
broken $((lines / 2))
broken $((lines - 3))
broken $((lines * 2 / 5))

# compare NAME WRAPPER_ARGS... -- IPVEIL_ARGS...: both runs from the scratch
# directory, stdin from /dev/null unless STDIN is set.
compare() {
    local name=$1 wrapper_args=() ipveil_args=()
    shift
    while [[ $1 != -- ]]; do wrapper_args+=("$1"); shift; done
    shift
    ipveil_args=("$@")
    local expected_status=0 status=0
    "$ipveil" "${ipveil_args[@]}" <"${STDIN:-/dev/null}" >"$scratch/one.out" 2>"$scratch/one.err" || expected_status=$?
    "$wrapper" "${wrapper_args[@]}" <"${STDIN:-/dev/null}" >"$scratch/many.out" 2>"$scratch/many.err" || status=$?
    [[ $status -eq $expected_status ]] || fail "$name: status $status, ipveil's $expected_status"
    cmp -s "$scratch/one.err" "$scratch/many.err" ||
        fail "$name: messages '$(cat "$scratch/many.err")', ipveil's '$(cat "$scratch/one.err")'"
    cmp -s "$scratch/one.out" "$scratch/many.out" || fail "$name: output differs from ipveil's"
}

cd "$scratch"
for jobs in 1 2 3 8; do
    compare "whole trace, -j $jobs" -j "$jobs" trace.txt -- trace.txt
    for n in 12 $((lines / 2)) $((lines - 3)); do
        compare "malformed line $n, -j $jobs" -j "$jobs" "broken-$n.txt" -- "broken-$n.txt"
    done
done
[[ $(grep -c . one.err) -eq 1 ]] && grep -q "line $((lines - 3))$" one.err || fail "the malformed case was not exercised"

# -o: the pieces, in order, are the output; none after a failing one is left.
for input in trace.txt "broken-$((lines * 2 / 5)).txt"; do
    rm -f piece.*
    status=0
    "$wrapper" -j 4 -o piece "$input" >many.out 2>many.err || status=$?
    [[ ! -s many.out ]] || fail "-o $input: wrote to standard output"
    expected_status=0
    "$ipveil" "$input" >one.out 2>one.err || expected_status=$?
    [[ $status -eq $expected_status ]] && cmp -s one.err many.err || fail "-o $input: status or message differs"
    cat piece.* | cmp -s one.out - || fail "-o $input: the pieces do not concatenate to ipveil's output"
done
# The malformed record lies in the second of four pieces.
[[ $(ls piece.* | wc -l) -eq 2 ]] || fail "-o: the pieces after the failing one were left: $(ls piece.*)"
# Past ten pieces the numbers keep their order as names.
rm -f piece.*
"$wrapper" -j 12 -o piece trace.txt
[[ $(ls piece.* | head -n 1) == piece.00 && $(ls piece.* | wc -l) -eq 12 ]] || fail "-j 12 -o: pieces $(ls piece.*)"
cat piece.* | cmp -s trace-one.out - || fail "-j 12 -o: the pieces do not concatenate to ipveil's output"

# A record across a line feed may be cut: then the run fails as malformed
# with what came before it written, and is never silently wrong.
awk '{ print $1, $2; print $3 }' trace.txt >split-records.txt
"$ipveil" split-records.txt >one.out
for jobs in 2 3 4 5; do
    status=0
    "$wrapper" -j "$jobs" split-records.txt >many.out 2>many.err || status=$?
    if [[ $status -eq 0 ]]; then
        cmp -s one.out many.out || fail "records across lines, -j $jobs: status 0 with a different output"
    else
        [[ $status -eq 253 ]] || fail "records across lines, -j $jobs: status $status"
        cmp -s many.out <(head -c "$(wc -c <many.out)" one.out) ||
            fail "records across lines, -j $jobs: the output is not the start of ipveil's"
    fi
done

# What cannot be cut goes to one ipveil, with its messages and statuses.
STDIN=trace.txt compare "trace on /dev/stdin" /dev/stdin -- /dev/stdin
compare "missing file" missing.txt -- missing.txt
compare "directory" . -- .
for arguments in "" "trace.txt trace.txt" "-j 0 trace.txt" "-x trace.txt"; do
    status=0
    "$wrapper" $arguments >many.out 2>many.err || status=$?
    [[ $status -eq 255 ]] && grep -q "^usage: ipveil-parallel" many.err ||
        fail "arguments '$arguments': status $status, '$(cat many.err)'"
done

# Help, a bounded -j, an output it cannot write, no ipveil to run.
"$wrapper" --help >many.out && grep -q -- '-o PREFIX' many.out || fail "--help"
"$wrapper" -h >many.out && grep -q -- '-j N' many.out && grep -q -- --version many.out || fail "-h"
[[ $("$wrapper" --version) == "ipveil-parallel $version" ]] || fail "--version: $("$wrapper" --version)"
"$wrapper" -j 99999999999999999999 trace.txt >many.out && cmp -s trace-one.out many.out || fail "a huge -j"
status=0
"$wrapper" -o /nonexistent-dir/x trace.txt >many.out 2>many.err || status=$?
[[ $status -eq 251 && ! -s many.out && $(cat many.err) == "Cannot write output" ]] ||
    fail "-o to a folder that does not exist: status $status, '$(cat many.err)'"
# A reader that goes away (| head) ends it without a message, as it ends ipveil.
head -n 2600 trace.txt >small.txt  # each half of its output fits in a pipe, the whole does not
"$wrapper" -j 2 small.txt 2>many.err | head -c 100 >/dev/null || true
[[ ! -s many.err ]] || fail "| head: '$(cat many.err)'"
status=0
IPVEIL=no-such-ipveil "$wrapper" trace.txt >many.out 2>many.err || status=$?
[[ $status -eq 127 && ! -s many.out && $(wc -l <many.err) -eq 1 ]] || fail "no ipveil: status $status, '$(cat many.err)'"

# Interrupted: every child ends at once, the pieces go, the status says so.
# An ipveil that never ends keeps the pieces running. SIGTERM and SIGHUP go to
# the script alone (as kill does), SIGINT to its process group (as Ctrl-C
# does, which background pieces ignore; a job started with & ignores it too,
# unless told otherwise).
printf '#!/bin/sh\nexec sleep 30\n' >slow-ipveil
chmod +x slow-ipveil
alive() { ps -eo pgid=,stat=,args= | awk -v g="$1" '$1 == g && $2 !~ /^Z/'; }
for signal in TERM INT HUP; do
    rm -f piece.*
    IPVEIL=$scratch/slow-ipveil setsid env --default-signal=INT "$wrapper" -j 4 -o piece trace.txt 2>/dev/null &
    leader=$!
    sleep 1
    if [[ $signal == INT ]]; then kill -INT -- "-$leader"; else kill -"$signal" "$leader"; fi
    status=0
    wait "$leader" || status=$?
    expected=$((128 + $(kill -l "$signal")))
    [[ $status -eq $expected ]] || fail "SIG$signal: status $status, not $expected"
    sleep 0.2
    [[ -z $(alive "$leader") ]] || fail "SIG$signal: processes left: $(alive "$leader")"
    ! ls piece.* >/dev/null 2>&1 || fail "SIG$signal: pieces left: $(ls piece.*)"
done
