#!/usr/bin/env python3
"""Logs for ipveil-log's tests, built byte by byte, with what the command
must make of them. Every address slot gets a value from ORIGINALS; the
expected output puts the value's line of IMAGES there instead (ipveil's
images of the same addresses), the canonical one puts the line of
CANONICAL (ipveil-reveal's text of them); every other byte is the input's.
Values that are no address ('-', host names, NUL and invalid UTF-8 around
them) stay everywhere, and are counted.

    log_cases.py addresses N SEED            -> one address a line, in many forms
    log_cases.py FORMAT ORIGINALS IMAGES CANONICAL PREFIX
        writes PREFIX.in, PREFIX.expected, PREFIX.canonical and prints the
        summary's counts "LINES IPV4 IPV6 LEFT"
"""
import ipaddress
import random
import sys


def addresses(count, seed):
    rng = random.Random(seed)
    out = []
    for i in range(count):
        kind = rng.randrange(6)
        if kind == 0:
            out.append(str(ipaddress.IPv4Address(rng.getrandbits(32))))
        elif kind == 1:  # few prefixes, so that images share them
            out.append(f"10.{rng.randrange(4)}.{rng.randrange(4)}.{rng.randrange(256)}")
        else:
            groups = [rng.choice([0, 0, rng.getrandbits(16)]) for _ in range(8)]
            if kind == 2:
                out.append(":".join(f"{g:x}" for g in groups))  # no "::", zeros written
            elif kind == 3:
                out.append(":".join(f"{g:04X}" for g in groups))  # leading zeros, upper case
            else:
                out.append(str(ipaddress.IPv6Address(bytes(sum(([g >> 8, g & 255] for g in groups), [])))))
    return out


def mask_text(image, length):
    """The first LENGTH bits of IMAGE, zeros below, as ipveil writes it."""
    address = ipaddress.ip_address(image)
    bits = address.max_prefixlen
    value = int(address) & (((1 << length) - 1) << (bits - length))
    return str(type(address)(value))


class Log:
    def __init__(self, originals, images, canonical):
        self.values = list(zip(originals, images, canonical))
        self.rng = random.Random(7)
        self.parts = ([], [], [])
        self.counts = [0, 0, 0]  # ipv4, ipv6, left

    def text(self, data):
        for part in self.parts:
            part.append(data)

    def address(self):
        original, image, canonical = self.rng.choice(self.values)
        self.counts[1 if ":" in original else 0] += 1
        for part, value in zip(self.parts, (original, image, canonical)):
            part.append(value.encode())

    def subnet(self):
        original, image, canonical = self.rng.choice(self.values)
        bits = 128 if ":" in original else 32
        length = self.rng.randrange(bits + 1)
        self.counts[1 if bits == 128 else 0] += 1
        for part, value in zip(self.parts, (mask_text(canonical, length), mask_text(image, length),
                                            mask_text(canonical, length))):
            part.append(f"{value}/{length}".encode())

    def other(self, unset_marker=False):
        """A value that is no address; '-' is one only where it is no unset marker."""
        self.counts[2] += 1
        choices = [b"host.example", b"1.2.3", b"10.0.0.1:80", b"x\x00y", b"\xff\xfe"]
        self.text(self.rng.choice(choices + ([] if unset_marker else [b"-"])))

    def write(self, prefix):
        for part, suffix in zip(self.parts, ("in", "expected", "canonical")):
            with open(f"{prefix}.{suffix}", "wb") as f:
                f.write(b"".join(part))
        data = b"".join(self.parts[0])
        lines = data.count(b"\n") + (0 if data.endswith(b"\n") or not data else 1)
        print(lines, *self.counts)


def zeek(log):
    """Two logs one after the other, as zcat of two files gives them."""
    for separator, set_separator in ((b"\t", b","), (b"\t", b";")):
        escaped = b"\\x%02x" % separator[0]
        log.text(b"#separator " + escaped + b"\n")
        log.text(b"#set_separator\t" + (b"\\x3b" if set_separator == b";" else set_separator) + b"\n")
        log.text(b"#empty_field\t(empty)\n#unset_field\t-\n#path\tconn\n#open\t2024-05-01-10-00-00\n")
        log.text(b"#fields\tts\tuid\tid.orig_h\tid.orig_p\tid.resp_h\tnote\tnets\tpeers\n")
        log.text(b"#types\ttime\tstring\taddr\tport\taddr\tstring\tset[subnet]\tvector[addr]\n")
        for row in range(300):
            log.text(b"1714557600.%06d\tC%d\t" % (row, row))
            log.address() if row % 7 else log.text(b"-")
            log.text(b"\t%d\t" % (1024 + row))
            log.address() if row % 5 else log.other(unset_marker=True)
            # A string column with what looks like an address, NUL and invalid UTF-8: not mapped.
            log.text(b"\t10.0.0.1 \x00\xc3\x28 caf\xc3\xa9\t")
            if row % 4 == 0:
                log.text(b"(empty)")
            else:
                for k in range(row % 3 + 1):
                    if k:
                        log.text(set_separator)
                    log.subnet()
            log.text(b"\t")
            if row % 6 == 0:
                log.text(b"-")
            else:
                for k in range(row % 4 + 1):
                    if k:
                        log.text(set_separator)
                    log.address()
            log.text(b"\n")
        log.text(b"#close\t2024-05-01-11-00-00\n")


def delimited(log, separator, end):
    log.text(separator.join([b"time", b"src", b'"dst"', b"note"]) + end)
    for row in range(500):
        log.text(b"%d" % row + separator)
        if row % 9 == 0:
            log.other()
        else:
            log.address()
        log.text(separator + b'"')
        log.address()
        # Quoted: separators, doubled quotes and a line break inside.
        log.text(b'"' + separator + b'"a' + separator + b'""b""\nc\x00\xff"' + end)


def json_lines(log):
    """Zeek's JSON (dotted keys), nested objects and arrays as eve.json has
    them; mapped by --field id.orig_h --field dest.ip --field answers."""
    for row in range(300):
        log.text(b'{"ts":%d.5e3,"id.orig_h":"' % row)
        log.address() if row % 7 else log.other()
        log.text(b'", "id.resp_h" : "10.0.0.1", "dest":{"ip":"')
        log.address()
        log.text(b'","port":443},"answers":[')
        for k in range(row % 3):
            log.text(b',"' if k else b'"')
            log.address() if k % 2 == 0 else log.other()
            log.text(b'"')
        # A string holding an address inside other text, and keys: not mapped.
        log.text(rb'],"note":"from 10.0.0.1 \"q\" \u00e9","10.0.0.2":null}' + b"\n")


def free_text(log):
    """Syslog, firewall and web-server lines, and what only looks like an
    address beside them (not mapped)."""
    for row in range(300):
        kind = row % 5
        if kind == 0:
            log.text(b"<34>Dec 10 12:%02d:%02d gw sshd[%d]: Failed password for root from " % (row % 60, row % 60, row))
            log.address()
            log.text(b" port 22 ssh2 (OpenSSH 9.2p1, lib 1.2.3.4.5, std::vector, 12:34:56)\n")
        elif kind == 1:
            log.text(b"kernel: [UFW BLOCK] IN=eth0 SRC=")
            log.address()
            log.text(b" DST=")
            log.address()
            log.text(b" LEN=60 TTL=52\n")
        elif kind == 2:
            log.text(b'GET "http://[')
            log.address()
            log.text(b']:8080/v1.2.3.4/x" 200 from ')
            log.address()
            log.text(b", \x00\xff\n")
        elif kind == 3:
            log.text(b"route add ")
            log.subnet()
            log.text(b" via (")
            log.address()
            log.text(b")\n")
        else:
            log.text(b"nothing here but 1.2.3 and caf\xc3\xa9\n")


def lines(log):
    for _ in range(400):
        log.address()
        log.text(b"\n")


if __name__ == "__main__":
    if sys.argv[1] == "addresses":
        print("\n".join(addresses(int(sys.argv[2]), int(sys.argv[3]))))
        sys.exit(0)
    name, paths, prefix = sys.argv[1], sys.argv[2:5], sys.argv[5]
    values = [open(p).read().split("\n")[:-1] for p in paths]
    log = Log(*values)
    {"zeek": zeek, "csv": lambda l: delimited(l, b",", b"\r\n"), "tsv": lambda l: delimited(l, b"\t", b"\n"),
     "json": json_lines, "text": free_text, "lines": lines}[name](log)
    log.write(prefix)
