#!/usr/bin/env bash
# contrib/pcap-to-trace on a capture this test writes byte by byte: IPv4,
# IPv6, IPv4 in IPv6, IPv6 in IPv4, ICMP and ICMPv6 errors (each with a
# second IP header inside), a frame captured short of its length, and ARP.
#
#   pcap_to_trace_test.sh extract SOURCE_DIR
#       the trace's records against the packets written: times since the
#       first frame, lengths on the wire, outer source (and with -d
#       destination) addresses, nothing for ARP
#   pcap_to_trace_test.sh anonymize SOURCE_DIR IPVEIL
#       ipveil on that trace: status 0, a line per record, times and sizes as
#       printf's %6f and %u of the input, each address of its input's family
#   pcap_to_trace_test.sh statuses SOURCE_DIR VERSION
#       --help, --version (the project's VERSION), and each documented status
#       with its message: usage, a capture that cannot be opened, inputs that
#       are not captures (though tshark reads them), one cut short, a trace
#       that cannot be written, no tshark; and the same trace from every form
#       of capture it takes
source "$(dirname "$0")/../shell_test_support.sh"

mode=$1 source_dir=$2
require_commands tshark

# Hex helpers: little-endian 32-bit fields of the pcap headers, addresses.
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
v4() { local IFS=.; set -- $1; printf '%02x%02x%02x%02x' "$1" "$2" "$3" "$4"; }
udp() { printf '9c409c410010000000000000000000ff'; }  # ports 40000, 40001; 8 bytes of payload
# ipv4 PROTOCOL SRC DST PAYLOAD_HEX (checksums are left zero: tshark does not check them by default)
ipv4() { printf '4500%04x0000400040%02x0000%s%s%s' $((20 + ${#4} / 2)) "$1" "$(v4 "$2")" "$(v4 "$3")" "$4"; }
# ipv6 NEXT_HEADER SRC_HEX DST_HEX PAYLOAD_HEX
ipv6() { printf '60000000%04x%02x40%s%s%s' $((${#4} / 2)) "$1" "$2" "$3" "$4"; }
ether() { printf '020000000002020000000001%s%s' "$1" "$2"; }

a6_1=20010db8000000000000000000000001 a6_2=20010db8000000010000000000000002
a6_a=20010db800000000000000000000000a a6_b=20010db800000000000000000000000b
a6_fe=20010db80000000000000000000000fe ll=fe800000000000000000000000000001 all=ff020000000000000000000000000001
arp=$(ether 0806 "0001080006040001020000000001$(v4 192.0.2.1)000000000000$(v4 192.0.2.2)")

# Frames: relative time, frame length on the wire ("-": as captured), the
# outer source and destination as tshark prints them ("-": no IP), bytes.
frames=(
    "0        -    -              -              $arp"
    "0.25     -    192.0.2.1      198.51.100.7   $(ether 0800 "$(ipv4 17 192.0.2.1 198.51.100.7 "$(udp)")")"
    "1.5      -    2001:db8::1    2001:db8:0:1::2 $(ether 86dd "$(ipv6 17 $a6_1 $a6_2 "$(udp)")")"
    "2.000125 -    2001:db8::a    2001:db8::b    $(ether 86dd "$(ipv6 4 $a6_a $a6_b "$(ipv4 17 10.1.2.3 10.4.5.6 "$(udp)")")")"
    "3.75     -    203.0.113.9    192.0.2.1      $(ether 0800 "$(ipv4 1 203.0.113.9 192.0.2.1 "0303000000000000$(ipv4 17 192.0.2.1 198.51.100.7 "$(udp)")")")"
    "4.5      -    2001:db8::fe   2001:db8::1    $(ether 86dd "$(ipv6 58 $a6_fe $a6_1 "0104000000000000$(ipv6 17 $a6_1 $a6_2 "$(udp)")")")"
    "5.0625   -    198.51.100.200 192.0.2.77     $(ether 0800 "$(ipv4 41 198.51.100.200 192.0.2.77 "$(ipv6 17 $ll $all "$(udp)")")")"
    "6.5      1514 192.0.2.1      8.8.8.8        $(ether 0800 "$(ipv4 17 192.0.2.1 8.8.8.8 "$(udp)")")"
    "7        -    -              -              $arp"
)

# A classic pcap with microsecond times, Ethernet links, an absolute start.
capture=$scratch/capture.pcap
epoch=1700000000
hex=d4c3b2a1020004000000000000000000ffff000001000000
: >"$scratch/expected"
for frame in "${frames[@]}"; do
    read -r time length source destination bytes <<<"$frame"
    captured=$((${#bytes} / 2))
    [[ $length != - ]] || length=$captured
    micros=$(awk -v t="$time" 'BEGIN { printf "%d", t * 1000000 + 0.5 }')
    hex+=$(le32 $((epoch + micros / 1000000)))$(le32 $((micros % 1000000)))$(le32 "$captured")$(le32 "$length")$bytes
    [[ $source == - ]] || echo "$time $length $source $destination" >>"$scratch/expected"
done
printf "$(sed 's/../\\x&/g' <<<"$hex")" >"$capture"

recipe=$source_dir/contrib/pcap-to-trace
"$recipe" "$capture" >"$scratch/trace.txt" 2>"$scratch/stderr" || fail "pcap-to-trace: $(cat "$scratch/stderr")"
# Nothing on standard error for a good capture: tshark's warning about
# running as root is not passed on.
[[ ! -s $scratch/stderr ]] || fail "pcap-to-trace printed: $(cat "$scratch/stderr")"

case $mode in
extract)
    "$recipe" -d "$capture" >"$scratch/trace-dst.txt" 2>"$scratch/stderr" || fail "pcap-to-trace -d: $(cat "$scratch/stderr")"
    for column in 3 4; do
        out=$scratch/trace.txt
        [[ $column -eq 4 ]] && out=$scratch/trace-dst.txt
        [[ $(wc -l <"$out") -eq $(wc -l <"$scratch/expected") ]] ||
            fail "$(basename "$out"): $(wc -l <"$out") records for $(wc -l <"$scratch/expected") IP packets"
        # Times compared as numbers: tshark prints nanoseconds.
        paste -d ' ' "$scratch/expected" "$out" | awk -v column="$column" '
            {
                if (NF != 7) { print "record " NR ": not three fields: " $0; bad = 1; next }
                d = $1 - $5
                if (d < -1e-9 || d > 1e-9) { print "record " NR ": time " $5 " for " $1; bad = 1 }
                if ($2 != $6) { print "record " NR ": size " $6 " for " $2; bad = 1 }
                if ($column != $7) { print "record " NR ": address " $7 " for " $column; bad = 1 }
            }
            END { exit bad }' || fail "$(basename "$out") does not match the packets written"
    done
    ;;
anonymize)
    ipveil=$3
    "$ipveil" "$scratch/trace.txt" >"$scratch/anonymized.txt" 2>"$scratch/stderr" ||
        fail "ipveil exited with status $? on the trace: $(cat "$scratch/stderr")"
    [[ $(wc -l <"$scratch/anonymized.txt") -eq $(wc -l <"$scratch/trace.txt") ]] ||
        fail "ipveil wrote $(wc -l <"$scratch/anonymized.txt") lines for $(wc -l <"$scratch/trace.txt") records"
    paste "$scratch/trace.txt" "$scratch/anonymized.txt" | awk -F '\t' '
        function family(address) {
            if (address ~ /^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$/) return 4
            if (address ~ /^[0-9a-f:.]+$/ && address ~ /:/) return 6
            return 0
        }
        {
            split($1, input, " ")
            if ($2 != sprintf("%f", input[1])) { print "line " NR ": time " $2 " for " input[1]; bad = 1 }
            if ($3 != sprintf("%u", input[2])) { print "line " NR ": size " $3 " for " input[2]; bad = 1 }
            if (family($4) == 0 || family($4) != family(input[3])) { print "line " NR ": " $4 " for " input[3]; bad = 1 }
        }
        END { exit bad }' || fail "ipveil's output does not match its input"
    ;;
statuses)
    # expect STATUS PATTERN ARGS...: pcap-to-trace ARGS exits STATUS and
    # prints a line matching PATTERN on standard error.
    expect() {
        local expected=$1 pattern=$2 status=0
        shift 2
        "$recipe" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
        [[ $status -eq $expected ]] || fail "pcap-to-trace $*: status $status, not $expected: $(cat "$scratch/err")"
        grep -q -- "$pattern" "$scratch/err" || fail "pcap-to-trace $*: no '$pattern' in: $(cat "$scratch/err")"
        ! grep -q 'could be dangerous' "$scratch/err" || fail "pcap-to-trace $*: tshark's root warning is shown"
    }
    for option in -h --help "-d --help"; do
        # shellcheck disable=SC2086
        "$recipe" $option >"$scratch/help" 2>&1 || fail "pcap-to-trace $option: status $?"
        for word in -d --help --version 255 254 253 252 251 127; do
            grep -q -- "$word" "$scratch/help" || fail "pcap-to-trace $option does not explain $word"
        done
    done
    [[ $("$recipe" --version) == "pcap-to-trace $3" ]] || fail "--version: $("$recipe" --version)"
    expect 255 "^usage: pcap-to-trace"
    expect 255 "^usage: pcap-to-trace" "$capture" "$capture"
    expect 255 "^usage: pcap-to-trace" -x "$capture"
    expect 254 "^Cannot open file $scratch/none" "$scratch/none"
    expect 254 "^Cannot open file $scratch\$" "$scratch"
    # Text tshark would read as something of its own (JSON: a number, or a
    # base64 line it takes for one), empty input, and such text compressed,
    # from a file and from standard input: none of them is a capture.
    printf '1 2 3\n' >"$scratch/digits"
    echo 8Mi4EO5Hk7XtY5vMNxbK4paiTLviNbriBhyJvb2xrcwplUjDeLLPl1RSA7+mvumogiaJf8aKslXcfIR1CMg4FJLP8bWaFm+62 \
        >"$scratch/base64"
    : >"$scratch/empty"
    gzip -c "$scratch/digits" >"$scratch/digits.gz"
    for text in digits base64 empty digits.gz; do
        expect 253 "^Not a capture: $scratch/$text\$" "$scratch/$text"
        [[ ! -s $scratch/out ]] || fail "$text: wrote a trace"
    done
    for text in digits digits.gz; do
        expect 253 "^Not a capture: -\$" - <"$scratch/$text"
    done
    # Every form of capture it reads gives the same trace: the pcap from
    # standard input, compressed, and as tshark's editcap rewrites it with
    # nanosecond times and as pcapng.
    forms=(gzip)
    for tool in zstd lz4; do command -v "$tool" >/dev/null && forms+=("$tool"); done
    for form in "${forms[@]}"; do "$form" -c "$capture" >"$scratch/capture.$form"; done
    if command -v editcap >/dev/null; then
        for format in nsecpcap pcapng; do
            editcap -F "$format" "$capture" "$scratch/capture.$format" && forms+=("$format")
        done
    fi
    "$recipe" - <"$capture" >"$scratch/out" 2>"$scratch/err" && cmp -s "$scratch/trace.txt" "$scratch/out" ||
        fail "from standard input: not the file's trace: $(cat "$scratch/err")"
    for form in "${forms[@]}"; do
        "$recipe" "$scratch/capture.$form" >"$scratch/out" 2>"$scratch/err" &&
            cmp -s "$scratch/trace.txt" "$scratch/out" || fail "$form: not the pcap's trace: $(cat "$scratch/err")"
    done
    "$recipe" - <"$scratch/capture.gzip" >"$scratch/out" 2>"$scratch/err" &&
        cmp -s "$scratch/trace.txt" "$scratch/out" ||
        fail "gzip from standard input: not the pcap's trace: $(cat "$scratch/err")"
    # Cut short in its fifth frame: the records of the frames before it are
    # written (the first frame is ARP), then the failure.
    head -c $(($(stat -c %s "$capture") - 200)) "$capture" >"$scratch/short.pcap"
    expect 252 "cut short" "$scratch/short.pcap"
    head -n "$(wc -l <"$scratch/out")" "$scratch/trace.txt" | cmp -s - "$scratch/out" && [[ -s $scratch/out ]] ||
        fail "a capture cut short: the records before the cut are not the trace's"
    if [[ -w /dev/full ]]; then
        status=0
        "$recipe" "$capture" >/dev/full 2>"$scratch/err" || status=$?
        [[ $status -eq 251 ]] && grep -q "^Cannot write output$" "$scratch/err" ||
            fail "a trace to /dev/full: status $status: $(cat "$scratch/err")"
    fi
    # No tshark on the PATH: the script needs only bash to say so.
    status=0
    PATH=$scratch/empty "$BASH" "$recipe" "$capture" >/dev/null 2>"$scratch/err" || status=$?
    [[ $status -eq 127 ]] && grep -q "needs tshark" "$scratch/err" ||
        fail "no tshark: status $status: $(cat "$scratch/err")"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
