#!/usr/bin/env bash
# The README's GNU parallel recipes on this machine, each against one ipveil
# on the same trace, byte for byte: one trace cut by --pipepart over the local
# processors, the same command line as for several hosts with the local
# machine standing in for them (--sshlogin 2/:), and a trace already split
# into files.
#
#   parallel_recipe_test.sh IPVEIL
source "$(dirname "$0")/../shell_test_support.sh"

require_commands parallel
# The recipes call ipveil by name, as an installed command.
PATH=$(dirname "$1"):$PATH
cd "$scratch"

# IPv4 and IPv6 records mixed.
awk 'BEGIN {
    x = 7
    for (i = 0; i < 200000; ++i) {
        x = (x * 1103515245 + 12345) % 2147483648
        if (i % 5 == 0)  # every fifth record IPv6
            printf "%d.%06d %d 2001:db8:%x:%x::%x\n", i / 1000, i % 1000000, 40 + x % 1461,
                   x % 65536, int(x / 65536) % 65536, i % 65536
        else
            printf "%d.%06d %d %d.%d.%d.%d\n", i / 1000, i % 1000000, 40 + x % 1461,
                   x % 256, int(x / 256) % 256, int(x / 65536) % 256, int(x / 16777216) % 256
    }
}' >trace.txt
ipveil trace.txt >one.out

parallel --pipepart -a trace.txt --block -1 -k ipveil /dev/stdin >local.out
cmp one.out local.out || fail "parallel --pipepart on this machine differs from one ipveil"

parallel --pipepart -a trace.txt --block -1 -k --sshlogin 2/: ipveil /dev/stdin >hosts.out
cmp one.out hosts.out || fail "parallel --pipepart --sshlogin differs from one ipveil"

mkdir traces
split -n l/3 -d trace.txt traces/piece.
mkdir -p anonymized && parallel ipveil {} '>' anonymized/{/} ::: traces/*
[[ $(ls anonymized | wc -l) -eq 3 ]] || fail "not one anonymized file per piece: $(ls anonymized)"
cat anonymized/* | cmp one.out - || fail "the anonymized pieces do not concatenate to one ipveil's output"
