#!/usr/bin/env python3
"""Synthetic logs for ipveil-log's benchmark, each with a known number of addresses.

  gen_logs.py KIND LINES [SEED] > FILE

KIND is one of:
  zeek   a Zeek conn.log (TSV with its header), about 200 bytes and two addresses a line
  csv    a CSV of flows with a header line, two address columns (src, dst)
  text   syslog-like lines (sshd, firewall, web server), one or two addresses each, 1.5 on average
  web    web-server access lines (combined log format), one address each, for anonip

Addresses are uniformly random IPv4, one in eight IPv6, as on a dual-stack network.
"""
import random
import sys


def address(rng):
    if rng.random() < 0.125:
        groups = [0x2001, 0xDB8] + [rng.randrange(0x10000) for _ in range(6)]
        text = ":".join(f"{g:x}" for g in groups)
        return text
    return ".".join(str(rng.randrange(256)) for _ in range(4))


ZEEK_HEADER = (
    "#separator \\x09\n#set_separator\t,\n#empty_field\t(empty)\n#unset_field\t-\n#path\tconn\n"
    "#open\t2026-12-10-12-00-00\n"
    "#fields\tts\tuid\tid.orig_h\tid.orig_p\tid.resp_h\tid.resp_p\tproto\tservice\tduration\torig_bytes\t"
    "resp_bytes\tconn_state\tlocal_orig\tlocal_resp\tmissed_bytes\thistory\torig_pkts\torig_ip_bytes\t"
    "resp_pkts\tresp_ip_bytes\ttunnel_parents\n"
    "#types\ttime\tstring\taddr\tport\taddr\tport\tenum\tstring\tinterval\tcount\tcount\tstring\tbool\tbool\t"
    "count\tstring\tcount\tcount\tcount\tcount\tset[string]\n"
)


def zeek(rng, lines, out):
    out.write(ZEEK_HEADER)
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
    ts = 1765368000.0
    for _ in range(lines):
        ts += rng.random() / 100
        uid = "C" + "".join(rng.choice(letters) for _ in range(17))
        proto, service = rng.choice((("tcp", "http"), ("tcp", "ssl"), ("udp", "dns"), ("tcp", "-")))
        out.write(
            f"{ts:.6f}\t{uid}\t{address(rng)}\t{rng.randrange(1024, 65536)}\t{address(rng)}\t"
            f"{rng.choice((53, 80, 443, 22))}\t{proto}\t{service}\t{rng.random() * 10:.6f}\t"
            f"{rng.randrange(100000)}\t{rng.randrange(1000000)}\tSF\tT\tF\t0\tShADadFf\t"
            f"{rng.randrange(1000)}\t{rng.randrange(100000)}\t{rng.randrange(1000)}\t{rng.randrange(1000000)}\t-\n"
        )
    out.write("#close\t2026-12-10-13-00-00\n")


def csv(rng, lines, out):
    out.write("start,end,src,dst,sport,dport,proto,packets,bytes\r\n")
    t = 1765368000
    for _ in range(lines):
        t += rng.randrange(3)
        out.write(
            f"{t},{t + rng.randrange(60)},{address(rng)},{address(rng)},{rng.randrange(1024, 65536)},"
            f"{rng.choice((53, 80, 443))},{rng.choice(('TCP', 'UDP'))},{rng.randrange(1, 1000)},"
            f"{rng.randrange(64, 1500000)}\r\n"
        )


def text(rng, lines, out):
    for i in range(lines):
        stamp = f"Dec 10 12:{i // 60 % 60:02d}:{i % 60:02d}"
        kind = rng.randrange(4)
        if kind == 0:
            out.write(f"{stamp} gw sshd[{rng.randrange(99999)}]: Failed password for root from {address(rng)} "
                      f"port {rng.randrange(1024, 65536)} ssh2\n")
        elif kind == 1:
            out.write(f"{stamp} gw kernel: [UFW BLOCK] IN=eth0 OUT= SRC={address(rng)} DST={address(rng)} LEN=60 "
                      f"TOS=0x00 TTL=52 PROTO=TCP SPT={rng.randrange(1024, 65536)} DPT=22 SYN\n")
        elif kind == 2:
            out.write(f"{stamp} gw dnsmasq[812]: query[A] host{rng.randrange(999)}.example.org from {address(rng)}\n")
        else:
            out.write(f"{stamp} gw postfix/smtpd[{rng.randrange(99999)}]: connect from unknown[{address(rng)}] "
                      f"to {address(rng)}\n")


def web(rng, lines, out):
    for i in range(lines):
        out.write(f'{address(rng)} - - [10/Dec/2026:12:{i // 60 % 60:02d}:{i % 60:02d} +0000] "GET /item/{i} '
                  f'HTTP/1.1" 200 {rng.randrange(100, 99999)} "-" "Mozilla/5.0 (X11; Linux x86_64)"\n')


def main():
    if len(sys.argv) not in (3, 4) or sys.argv[1] not in ("zeek", "csv", "text", "web"):
        sys.exit(__doc__)
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) == 4 else 1)
    out = sys.stdout
    globals()[sys.argv[1]](rng, int(sys.argv[2]), out)


if __name__ == "__main__":
    main()
