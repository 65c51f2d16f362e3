"""tshark as the independent dissector of ipveil-pcap's output.

    pcap_tshark_check.py IPVEIL INPUT OUTPUT whole|cut [ARGUMENT...]

Dissects both captures (checksum and FCS validation on) and checks, frame by
frame: every frame is there with the same time and original length, and its
captured length is no longer; every IPv4 and IPv6 address tshark finds in the
output is the image that IPVEIL (the text command, same key) gives the address
in the same place of the input, but a route slot tshark shows empty (not
filled yet), which must be kept as it was. IPVEIL is run with the ARGUMENTs,
if any, before the trace: policy_images KEYFILE POLICYFILE (the same output
layout) holds ipveil-pcap's --key-file and --policy to the anonymizer. With
`whole` (--keep-payload) the output must dissect to the same fields in the
same order as the input, and every checksum
and FCS status must be the one tshark gave the input (right stays right, wrong
stays wrong); with `cut` each address of the output must be an image of one of
the frame's input addresses, every IPv4 header checksum status must be the
input's, a frame that kept its length (a simple packet block, its cut bytes
zeroed) must keep every checksum and FCS status, and no input address may
stand anywhere in the output's bytes. Prefix fields (the first bits of a
prefix are mapped, the rest kept) are left to the packet room's tests.
"""
import subprocess
import sys
import xml.etree.ElementTree as ET

# Slots that tshark shows as not filled yet (a record route's or a timestamp's past its pointer, the latter
# renamed here from its "Address: -"): they must come out as they went in.
EMPTY = {"ip.empty_rt", "ip.empty_ts"}
CHECKSUMS = ["-o", "ip.check_checksum:TRUE", "-o", "tcp.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE",
             "-o", "udplite.check_checksum:TRUE", "-o", "udplite.ignore_checksum_coverage:FALSE",
             "-o", "eth.check_fcs:TRUE"]


def statuses(fields):
    return [(n, v) for n, v in fields if n.endswith(("checksum.status", "cksum.status")) or n == "eth.fcs.status"]


def address_fields():
    listing = subprocess.run(["tshark", "-G", "fields"], capture_output=True, text=True, check=True).stdout
    names = set()
    for line in listing.splitlines():
        parts = line.split("\t")
        if len(parts) > 3 and parts[0] == "F" and parts[3] in ("FT_IPv4", "FT_IPv6") and "prefix" not in parts[2]:
            names.add(parts[2])
    return names


def empty_or_name(field):
    name = field.get("name")
    if name == "ip.opt.time_stamp_addr" and field.get("showname", "").endswith(": -"):
        return "ip.empty_ts"
    return name


def dissect(path):
    run = subprocess.run(["tshark", "-r", path, "-T", "pdml"] + CHECKSUMS, capture_output=True, text=True)
    complaints = [line for line in run.stderr.splitlines() if "Running as user" not in line]
    if run.returncode != 0 or complaints:
        sys.exit(f"FAIL: tshark on {path}: status {run.returncode}: {complaints[:3]}")
    frames = []
    for packet in ET.fromstring(run.stdout).iter("packet"):
        fields = [(empty_or_name(f), f.get("show")) for f in packet.iter("field")]
        frames.append(fields)
    return frames


def images(ipveil, addresses):
    trace = "".join(f"0 0 {a}\n" for a in addresses)
    out = subprocess.run(ipveil + ["/dev/stdin"], input=trace, capture_output=True, text=True, check=True).stdout
    return dict(zip(addresses, (line.split("\t")[2] for line in out.splitlines())))


def main():
    source, target, mode = sys.argv[2:5]
    ipveil = [sys.argv[1]] + sys.argv[5:]
    kinds = address_fields() | EMPTY
    before, after = dissect(source), dissect(target)
    if len(before) != len(after):
        sys.exit(f"FAIL: {len(before)} frames in, {len(after)} out")
    addresses = sorted({v for frame in before for name, v in frame if name in kinds})
    image = images(ipveil, addresses)
    checked = 0
    for number, (fin, fout) in enumerate(zip(before, after), 1):
        one = {n: v for n, v in fin if n in ("frame.time_epoch", "frame.len", "frame.cap_len")}
        two = {n: v for n, v in fout if n in ("frame.time_epoch", "frame.len", "frame.cap_len")}
        # A simple packet block has no time.
        if one.get("frame.time_epoch") != two.get("frame.time_epoch") or one["frame.len"] != two["frame.len"]:
            sys.exit(f"FAIL: frame {number}: time or length changed: {one} -> {two}")
        if int(two["frame.cap_len"]) > int(one["frame.cap_len"]):
            sys.exit(f"FAIL: frame {number}: captured length grew: {one} -> {two}")
        ain = [(n, v) for n, v in fin if n in kinds]
        aout = [(n, v) for n, v in fout if n in kinds]
        if mode == "whole":
            if [n for n, _ in ain] != [n for n, _ in aout]:
                sys.exit(f"FAIL: frame {number}: address fields {ain} -> {aout}")
            for (name, v), (_, w) in zip(ain, aout):
                if name in EMPTY:
                    if v != w:
                        sys.exit(f"FAIL: frame {number}: {name} {v} holds no address yet, but came out {w}")
                elif image[v] != w:
                    sys.exit(f"FAIL: frame {number}: {name} {v} -> {w}, ipveil gives {image[v]}")
            if statuses(fin) != statuses(fout):
                sys.exit(f"FAIL: frame {number}: checksum statuses {statuses(fin)} -> {statuses(fout)}")
        else:
            # IPv4 header checksums are whole in a cut frame too.
            sums = lambda fields: [(n, v) for n, v in fields if n == "ip.checksum.status"]
            if sums(fin) != sums(fout):
                sys.exit(f"FAIL: frame {number}: IPv4 header checksum statuses {sums(fin)} -> {sums(fout)}")
            # A record that cannot be shortened (a simple packet block) has its cut bytes zeroed: every
            # checksum and FCS covering them takes the change.
            if one["frame.cap_len"] == two["frame.cap_len"] and statuses(fin) != statuses(fout):
                sys.exit(f"FAIL: frame {number}: kept its length, checksum statuses "
                         f"{statuses(fin)} -> {statuses(fout)}")
            allowed = {image[v] for _, v in ain}
            empty = {v for n, v in ain if n in EMPTY}
            for name, w in aout:
                if name in EMPTY:
                    if w not in empty:
                        sys.exit(f"FAIL: frame {number}: {name} {w} is none of the input's empty slots {sorted(empty)}")
                elif w not in allowed:
                    sys.exit(f"FAIL: frame {number}: {name} {w} is no image of the frame's addresses {sorted(allowed)}")
        checked += len(aout)
    if mode == "cut":
        # No address of the input is left anywhere in the output's bytes.
        import ipaddress
        data = open(target, "rb").read()
        for a in addresses:
            packed = ipaddress.ip_address(a).packed
            if packed.strip(b"\0") and packed.strip(b"\xff") and packed in data:
                sys.exit(f"FAIL: {a} stands in clear in {target}")
    print(f"{len(after)} frames, {checked} addresses checked")


main()
