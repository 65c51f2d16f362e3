#!/usr/bin/env bash
# ipveil-pcap beside its peers on two generated pcap files of about the same
# size: full-size frames (64 to 1514 bytes), and the same traffic cut to a
# snap length of 96 (many more, small packets). Each program copies or
# rewrites IN to OUT on the same disk: `cat` (the page cache's limit),
# `editcap -F pcap` (a copy through Wireshark's library), a libpcap copy loop
# (pcap_open_offline, pcap_next_ex, pcap_dump), `tcprewrite --seed=1
# --fixcsum` (random, not prefix-preserving), and ipveil-pcap with its
# default policy (payload cut, MACs mapped) and with --keep-payload. The
# programs take turns, RUNS times; the best time of each is printed with its
# ratio to ipveil-pcap and its peak resident memory. Then tshark checks that
# it reads ipveil-pcap's outputs whole.
#
#   bench/capture.sh
# Environment: BYTES (default 1000000000, the size of each capture), RUNS
# (default 3), WORK_DIR (default build/bench/capture), PIN_CPU (default 0;
# empty for none). Peers that are not installed (editcap: Debian package
# tshark; tcprewrite: tcpreplay; the libpcap loop: libpcap-dev) are left
# out. Peak memory needs GNU time (Debian package time).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
echo "building (cmake --preset bench && cmake --build --preset bench)..." >&2
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

build=$root/build/bench
work=${WORK_DIR:-$build/capture}
bytes=${BYTES:-1000000000}
runs=${RUNS:-3}
mkdir -p "$work"
pin=()
if [[ -n ${PIN_CPU-0} ]] && command -v taskset >/dev/null; then pin=(taskset -c "${PIN_CPU-0}"); fi

for kind in full snap96; do
    if [[ ! -s $work/$kind.pcap ]]; then
        echo "generating $work/$kind.pcap ($bytes bytes)..." >&2
        snaplen=65535
        [[ $kind == snap96 ]] && snaplen=96
        "$build/bench/gen_capture" "$bytes" "$snaplen" 1 >"$work/$kind.pcap"
    fi
done

declare -A cmd
names=(cat)
cmd[cat]='cat IN'  # output through the shell's redirection, below
if command -v editcap >/dev/null; then names+=(editcap); cmd[editcap]='editcap -F pcap IN OUT'; fi
if [[ -x $build/bench/pcap_copy_libpcap ]]; then names+=(libpcap); cmd[libpcap]="$build/bench/pcap_copy_libpcap IN OUT"; fi
if command -v tcprewrite >/dev/null; then
    names+=(tcprewrite)
    cmd[tcprewrite]='tcprewrite --seed=1 --fixcsum --infile=IN --outfile=OUT'
fi
names+=(ipveil-pcap keep-payload)
cmd[ipveil-pcap]="$build/ipveil-pcap IN OUT"
cmd[keep-payload]="$build/ipveil-pcap --keep-payload IN OUT"

# run NAME KIND: one run, wall time in $elapsed.
run() {
    local line=${cmd[$1]//IN/$work/$2.pcap}
    line=${line//OUT/$work/out-$1-$2.pcap}
    rm -f "$work/out-$1-$2.pcap"
    local start=$EPOCHREALTIME
    # shellcheck disable=SC2086
    if [[ $1 == cat ]]; then "${pin[@]}" $line >"$work/out-$1-$2.pcap"; else "${pin[@]}" $line >/dev/null 2>&1; fi
    local end=$EPOCHREALTIME
    elapsed=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", e - s }')
}

peak_kib() {
    local line=${cmd[$1]//IN/$work/$2.pcap}
    line=${line//OUT/$work/peak.pcap}
    if [[ -x /usr/bin/time ]]; then
        # shellcheck disable=SC2086
        /usr/bin/time -f %M -o "$work/time.txt" $line >/dev/null 2>&1 && cat "$work/time.txt"
    else
        echo -
    fi
    rm -f "$work/peak.pcap"
}

declare -A best
cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "CPU: $cpu"
for kind in full snap96; do
    packets=$(capinfos -Mc "$work/$kind.pcap" 2>/dev/null | awk '/Number of packets/ { print $NF }' || true)
    echo "== $kind.pcap: $(stat -c %s "$work/$kind.pcap") bytes, ${packets:-?} packets, best of $runs"
    for name in "${names[@]}"; do best[$name]=; done
    for ((i = 0; i < runs; i++)); do
        for name in "${names[@]}"; do
            run "$name" "$kind"
            best[$name]=$(awk -v t="$elapsed" -v b="${best[$name]}" 'BEGIN { if (b == "" || t < b) b = t; printf "%.6f", b }')
        done
    done
    for name in "${names[@]}"; do
        printf '%-14s %8.3f s   %6.2fx the time of ipveil-pcap   peak %s KiB\n' "$name" "${best[$name]}" \
            "$(awk -v a="${best[ipveil-pcap]}" -v b="${best[$name]}" 'BEGIN { printf "%.2f", b / a }')" "$(peak_kib "$name" "$kind")"
    done
    for name in ipveil-pcap keep-payload; do
        # tshark warns on every run as root; anything else is a complaint.
        if ! tshark -r "$work/out-$name-$kind.pcap" >/dev/null 2>"$work/tshark.err" ||
            grep -v 'Running as user' "$work/tshark.err" | grep -q .; then
            echo "tshark complained about out-$name-$kind.pcap: $(head -n 2 "$work/tshark.err")"
        fi
    done
done
