# ipveil with its output running into the file size limit (as on a full
# disk): "Cannot write output", status 251, and the file holds whole records
# only, the first ones of the full output.
source "$(dirname "$0")/../shell_test_support.sh"
ipveil=$1

awk 'BEGIN {
    for (i = 0; i < 60000; ++i) {
        printf "%d.5 %d 10.%d.%d.7\n", i, i % 1500, i % 256, int(i / 256) % 256
        if (i % 3 == 0) printf "%d.25 40 2001:db8:%x:7::%x\n", i, i % 65536, i
    }
}' >"$scratch/trace.txt"
"$ipveil" "$scratch/trace.txt" >"$scratch/full.txt"

set +e
(ulimit -f 1000 && exec "$ipveil" "$scratch/trace.txt" >"$scratch/cut.txt" 2>"$scratch/err.txt")
status=$?
set -e
[[ $status == 251 ]] || fail "status $status, expected 251"
[[ $(cat "$scratch/err.txt") == "Cannot write output" ]] || fail "message: $(cat "$scratch/err.txt")"
size=$(stat -c %s "$scratch/cut.txt")
((size > 0 && size <= 1000 * 1024)) || fail "cut output has $size bytes"
[[ $(tail -c 1 "$scratch/cut.txt" | od -An -c | tr -d ' ') == '\n' ]] || fail "output does not end with a whole line"
cmp -s "$scratch/cut.txt" <(head -c "$size" "$scratch/full.txt") || fail "cut output is not the start of the full output"
