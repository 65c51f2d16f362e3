# ipveil-pcap as a user runs it, on captures of every frame the packet room
# walks (pcap per link type in both byte orders and time resolutions, a
# pcapng with one interface per link type and snap-length cuts, Ethernet with
# FCSs, simple packet blocks): tshark reads every output whole, with its
# addresses the images ipveil gives and, with --keep-payload (and in records
# cut by zeroing), every checksum and FCS status as in the input; --reveal
# gives the input back byte for byte; files, statuses and messages as the man
# page says.
#
#   pcap_command_test.sh IPVEIL IPVEIL_PCAP WRITE_TEST_CAPTURES VERSION
source "$(dirname "$0")/../shell_test_support.sh"
ipveil=$1 pcap=$2 writer=$3 version=$4
check=$(dirname "$0")/pcap_tshark_check.py
require_commands tshark capinfos python3
cd "$scratch"
mkdir in
"$writer" in

for input in in/*; do
    name=$(basename "$input")
    "$pcap" --keep-payload "$input" "whole-$name" 2>/dev/null || fail "$name: --keep-payload status $?"
    "$pcap" "$input" "cut-$name" 2>/dev/null || fail "$name: status $?"
    python3 "$check" "$ipveil" "$input" "whole-$name" whole >/dev/null
    python3 "$check" "$ipveil" "$input" "cut-$name" cut >/dev/null
    "$pcap" --reveal "whole-$name" "back-$name" 2>/dev/null || fail "$name: --reveal status $?"
    cmp -s "$input" "back-$name" || fail "$name: --reveal does not give the input back"
    [[ $(stat -c %a "back-$name") == 600 ]] || fail "$name: the revealed capture is not private to its owner"
    "$pcap" --keep-payload --keep-mac "$input" - 2>/dev/null | "$pcap" --reveal --keep-mac - - 2>/dev/null |
        cmp -s "$input" - || fail "$name: --keep-mac through pipes does not come back"
done

# The FCSs written are Ethernet's as tshark checks them, right and wrong ones
# both, so that the checks above hold them to their statuses.
for input in in/fcs.pcap in/simple-fcs.pcapng; do
    statuses=$(tshark -r "$input" -o eth.check_fcs:TRUE -T fields -e eth.fcs.status 2>/dev/null | sort -u | tr -d '\n')
    [[ $statuses == 01 ]] || fail "$input: FCS statuses '$statuses', expected right and wrong ones"
done

# The summary line, naming the input, and cuts counted.
"$pcap" in/all.pcapng out.pcapng 2>err.txt
"$pcap" - out.pcapng <in/all.pcapng 2>>err.txt
for name in in/all.pcapng "standard input"; do
    grep -Eq "^ipveil-pcap: $name: [0-9]+ packets, [0-9]+ IPv4 and [0-9]+ IPv6 addresses, [0-9]+ MACs mapped, \
[1-9][0-9]* frames cut" err.txt || fail "summary for $name: $(cat err.txt)"
done

# With --keep-payload nothing is cut, but a frame not walked to its end (here
# one of a link type it does not walk) is still counted.
python3 -c "
import struct
head = struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 147)
open('link-147.pcap', 'wb').write(head + struct.pack('<IIII', 1700000000, 0, 20, 20) + bytes(range(20)))
"
"$pcap" --keep-payload link-147.pcap kept.pcap 2>err.txt
grep -q ' 0 frames cut (0 after their headers), 1 not walked to their end (1 unknown link type,' err.txt ||
    fail "keep-payload summary: $(cat err.txt)"

# Every link type, its records cut after what is walked: the output still
# opens (some link types' records must begin with a pseudo-header, which
# Wireshark's reader checks). capinfos reads each file as tshark does; tshark
# itself reads those whose empty record it refuses.
python3 -c "
import struct
pattern = bytes((7 * i + 3) & 0xFF for i in range(64))
for link in range(301):
    records = [bytes(64), pattern]
    if link in (144, 177):  # IrDA and LAPD: Linux cooked capture's header with their protocol
        records = [r[:14] + (b'\x00\x17' if link == 144 else b'\x00\x30') + r[16:] for r in records]
    if link == 197:  # ERF: an Ethernet record, and one with an extension header
        records = [bytes(8) + b'\x02' + bytes(55), bytes(8) + b'\x82' + pattern[9:]]
    head = struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, link)
    data = head + b''.join(struct.pack('<IIII', 1700000000, 0, len(r), len(r)) + r for r in records)
    open(f'any-{link}.pcap', 'wb').write(data)
    open(f'empty-{link}.pcap', 'wb').write(head + struct.pack('<IIII', 1700000000, 0, 0, 64))
"
for link in $(seq 0 300); do
    capinfos "any-$link.pcap" >/dev/null 2>&1 || continue
    "$pcap" "any-$link.pcap" "any-out-$link.pcap" 2>/dev/null || fail "link type $link: status $?"
    capinfos "any-out-$link.pcap" >/dev/null 2>&1 || fail "link type $link: the output does not open"
    if ! capinfos "empty-$link.pcap" >/dev/null 2>&1; then
        tshark -r "any-out-$link.pcap" >/dev/null 2>&1 || fail "link type $link: tshark does not open the output"
    fi
done

# expect STATUS MESSAGE COMMAND...: the status and the last line on standard error.
expect() {
    local status=$1 message=$2
    shift 2
    set +e
    "$@" >stdout.txt 2>stderr.txt
    local got=$?
    set -e
    [[ $got == "$status" ]] || fail "$*: status $got, expected $status ($(cat stderr.txt))"
    [[ $(tail -n 1 stderr.txt) == "$message" ]] || fail "$*: message '$(tail -n 1 stderr.txt)', expected '$message'"
}
usage='usage: ipveil-pcap [OPTION]... INPUT OUTPUT'
expect 255 "$usage" "$pcap"
expect 255 "$usage" "$pcap" in/all.pcapng
expect 255 "$usage" "$pcap" --no-such-option in/all.pcapng out
expect 255 "Input and output are the same file: in/all.pcapng" "$pcap" in/all.pcapng in/all.pcapng
# The input's file as standard output (appended to, as by >>) is refused
# too, before a byte is written into it.
cp in/link-1.pcap self.pcap
for input in self.pcap -; do
    status=0
    "$pcap" "$input" - <self.pcap >>self.pcap 2>stderr.txt || status=$?
    [[ $status == 255 && $(tail -n 1 stderr.txt) == "Input and output are the same file: $input" ]] ||
        fail "$input - >>self.pcap: status $status: $(cat stderr.txt)"
    cmp -s self.pcap in/link-1.pcap || fail "$input - >>self.pcap: the input was written to"
done
expect 254 "Cannot open file missing.pcap" "$pcap" missing.pcap out
expect 254 "Cannot open file /nonexistent-dir/out" "$pcap" in/all.pcapng /nonexistent-dir/out
echo "0.5 60 10.0.0.1" >trace.txt
expect 250 "Not a capture: trace.txt" "$pcap" trace.txt never.pcap
[[ ! -e never.pcap ]] || fail "a refused input left an output file"
: >empty
expect 250 "Not a capture: empty" "$pcap" empty never.pcap
expect 252 "Cannot read file in" "$pcap" in never.pcap
expect 251 "Cannot write output" "$pcap" in/all.pcapng /dev/full
"$pcap" --help | grep -q -- '--keep-payload' || fail "--help does not describe the options"
"$pcap" --help | grep -q -- '--version' || fail "--help does not mention --version"
[[ $("$pcap" --version) == "ipveil-pcap $version" ]] || fail "--version: $("$pcap" --version)"

# A capture cut inside its third packet: the first two go out, as a capture
# tshark reads, and the fault names packet 3.
link1=in/link-1.pcap
cut=$(($(tshark -r "$link1" -c 3 -T fields -e frame.cap_len | awk '{ s += $1 + 16 } END { print s + 24 - 5 }')))
head -c "$cut" "$link1" >truncated.pcap
expect 253 "Corrupt capture at packet 3: the file ends inside a packet record" "$pcap" truncated.pcap partial.pcap
[[ $(tshark -r partial.pcap 2>/dev/null | wc -l) == 2 ]] || fail "the packets before the fault are not all there"

# Three faults at the same packet, each named: a packet of an interface not
# described, a block trailer that differs, a captured length over the limit.
python3 - <<'PY'
import struct
def block(kind, body, trailer=None):
    total = 12 + len(body)
    return struct.pack("<II", kind, total) + body + struct.pack("<I", total if trailer is None else trailer)
def packet(interface, data, captured=None):
    pad = b"\0" * (-len(data) % 4)
    return block(6, struct.pack("<IIIII", interface, 0, 1, len(data) if captured is None else captured, len(data))
                 + data + pad)
start = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)) + block(1, struct.pack("<HHI", 1, 0, 0))
start += packet(0, bytes(60))
bad = packet(0, bytes(60))
files = {"interface.pcapng": start + packet(1, bytes(60)),
         "trailer.pcapng": start + bad[:-4] + struct.pack("<I", len(bad) + 4),
         "caplen.pcapng": start + packet(0, bytes(60), 262148)}
for name, data in files.items():
    open(name, "wb").write(data)
PY
expect 253 "Corrupt capture at packet 2: packet for an interface the section has not described" \
    "$pcap" interface.pcapng partial.pcapng
expect 253 "Corrupt capture at packet 2: block trailer differs from its length" "$pcap" trailer.pcapng partial.pcapng
expect 253 "Corrupt capture at packet 2: captured length over 262144 bytes" "$pcap" caplen.pcapng partial.pcapng
