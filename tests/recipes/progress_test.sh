#!/usr/bin/env bash
# The README's progress recipe, run at a terminal (script(1) gives it one, as
# pv shows progress only there): the output is a plain run's, byte for byte,
# and pv's display, with the percentage it can give because it knows the
# file's size, went to the terminal (standard error), not into the output.
#
#   progress_test.sh IPVEIL SOURCE_DIR
source "$(dirname "$0")/../shell_test_support.sh"

require_commands pv script
ipveil=$1 trace=$2/examples/trace.txt
cd "$scratch"
"$ipveil" "$trace" >plain.out

script -qec "pv '$trace' | '$ipveil' /dev/stdin > out" terminal.txt </dev/null >/dev/null ||
    fail "the recipe failed: $(cat terminal.txt)"
cmp plain.out out || fail "the output with pv differs from a plain run's"
grep -q "100%" terminal.txt || fail "pv showed no progress with a percentage: $(cat terminal.txt)"
