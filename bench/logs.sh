#!/usr/bin/env bash
# ipveil-log's speed, in addresses per second, beside ipveil's end to end on a
# trace of as many addresses, and beside what a user would pick today: anonip
# on a web-server log (truncation, not a prefix-preserving mapping) and pandas
# with this project's Python module on the CSV. Builds the bench preset,
# generates the logs (bench/gen_logs.py) and a trace with the same number of
# addresses and the same share of IPv6 (gen_trace), and times each program
# RUNS times, the programs taking turns so that a drift in the machine's speed
# hits them alike; prints the median of each and the ratios.
#
#   bench/logs.sh
# Environment: LINES (default 1000000), RUNS (default 5), WORK_DIR (default
# build/bench/logs), PYTHON_BUILD (default build/ci/python: the module's
# build, for pandas). anonip (Debian package anonip) and pandas are optional:
# a missing one is left out. This script installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${LINES:-1000000}
runs=${RUNS:-5}
work=${WORK_DIR:-build/bench/logs}
mkdir -p "$work"
cmake --preset bench >/dev/null
cmake --build --preset bench --target ipveil ipveil-log gen_trace >/dev/null
bin=build/bench

# Inputs: each log once, and traces with as many addresses.
for kind in zeek csv text web; do
    [[ -s $work/$kind.in ]] || python3 bench/gen_logs.py "$kind" "$lines" > "$work/$kind.in"
done
# zeek and csv carry two addresses a line, text 1.5, web one; one in eight is IPv6.
[[ -s $work/trace2.in ]] || "$bin/bench/gen_trace" $((2 * lines)) 1 12 > "$work/trace2.in"
[[ -s $work/trace15.in ]] || "$bin/bench/gen_trace" $((3 * lines / 2)) 1 12 > "$work/trace15.in"
[[ -s $work/trace1.in ]] || "$bin/bench/gen_trace" "$lines" 1 12 > "$work/trace1.in"

# seconds NAME COMMAND...: runs it once, appending its wall time to $work/NAME.times.
seconds() {
    local name=$1
    shift
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null 2> /dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN {printf "%.6f\n", b - a}' >> "$work/$name.times"
}
median() { sort -g "$work/$1.times" | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

rm -f "$work"/*.times
pandas_script=$work/pandas_csv.py
cat > "$pandas_script" <<'PY'
import sys
import pandas
import ipveil
anonymizer = ipveil.Anonymizer(bytes(range(32)))
frame = pandas.read_csv(sys.argv[1], dtype=str, keep_default_na=False)
for column in ("src", "dst"):
    frame[column] = anonymizer.anonymize(frame[column])
frame.to_csv(sys.argv[2], index=False)
PY
# The bench preset builds no Python module: the one of the ci preset's tree.
python_path=${PYTHON_BUILD:-build/ci/python}
[[ -d $python_path/ipveil ]] || python_path=
for ((run = 0; run < runs; ++run)); do
    seconds zeek "$bin/ipveil-log" "$work/zeek.in" "$work/zeek.out"
    seconds trace2 sh -c "exec '$bin/ipveil' '$work/trace2.in' > '$work/trace2.out'"
    seconds csv "$bin/ipveil-log" --format csv --column src --column dst "$work/csv.in" "$work/csv.out"
    seconds text "$bin/ipveil-log" --format text "$work/text.in" "$work/text.out"
    seconds trace15 sh -c "exec '$bin/ipveil' '$work/trace15.in' > '$work/trace15.out'"
    seconds web "$bin/ipveil-log" --format text "$work/web.in" "$work/web.out"
    seconds trace1 sh -c "exec '$bin/ipveil' '$work/trace1.in' > '$work/trace1.out'"
    if command -v anonip >/dev/null; then
        seconds anonip sh -c "exec anonip --input '$work/web.in' --output '$work/web.anonip'"
    fi
    if [[ -n $python_path ]] && "${PYTHON:-python3}" -c "import pandas" 2>/dev/null; then
        seconds pandas env PYTHONPATH="$python_path" "${PYTHON:-python3}" "$pandas_script" "$work/csv.in" "$work/csv.pandas"
    fi
done

report() {
    awk -v name="$1" -v t="$(median "$2")" -v n="$3" 'BEGIN {printf "%-28s %8.3f s  %6.2f M addresses/s\n", name, t, n / t / 1e6}'
}
report "ipveil-log zeek conn.log" zeek $((2 * lines))
report "ipveil-log csv" csv $((2 * lines))
report "ipveil, same addresses" trace2 $((2 * lines))
report "ipveil-log text" text $((3 * lines / 2))
report "ipveil, same addresses" trace15 $((3 * lines / 2))
report "ipveil-log text, web log" web "$lines"
report "ipveil, same addresses" trace1 "$lines"
ratio() { awk -v name="$1" -v a="$(median "$2")" -v b="$(median "$3")" 'BEGIN {printf "%-44s %6.2fx\n", name, b / a}'; }
ratio "zeek / ipveil (target >= 0.8)" zeek trace2
ratio "csv / ipveil (target >= 0.8)" csv trace2
ratio "text / ipveil (target >= 0.5)" text trace15
[[ -s $work/anonip.times ]] && report "anonip, web log" anonip "$lines" && ratio "ipveil-log text / anonip (web log)" web anonip
[[ -s $work/pandas.times ]] && report "pandas + ipveil module, csv" pandas $((2 * lines)) &&
    ratio "ipveil-log csv / pandas + module" csv pandas
exit 0
