#!/usr/bin/env python3
"""ipveil-log --format lines as a pipeline's helper (rsyslog omprog, a
ClickHouse executable function): it writes one address and waits for the
image before it writes the next. Each answer must come while the input stays
open; a command that held its output until more input came would hang, so
every wait has a deadline and the test fails instead.

    log_lines_test.py IPVEIL_LOG IPVEIL
"""
import os
import select
import subprocess
import sys
import tempfile

log, ipveil = sys.argv[1], sys.argv[2]
addresses = ["192.0.2.1", "10.1.2.3", "2001:db8::1", "not-an-address", "::ffff:10.0.0.1", ""]

# The images ipveil gives the same addresses; what is no address comes back as it was.
with tempfile.NamedTemporaryFile("w", suffix=".trace") as trace:
    trace.write("".join(f"0.000000 1 {a}\n" for a in addresses if a and a != "not-an-address"))
    trace.flush()
    images = iter(subprocess.run([ipveil, trace.name], capture_output=True, text=True, check=True)
                  .stdout.splitlines())
expected = [a if not a or a == "not-an-address" else next(images).split("\t")[2] for a in addresses]

child = subprocess.Popen([log, "--format", "lines", "-", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
received = b""
for address, image in zip(addresses, expected):
    child.stdin.write(address.encode() + b"\n")
    child.stdin.flush()
    while not received.endswith(b"\n"):
        ready, _, _ = select.select([child.stdout], [], [], 10)
        if not ready:
            child.kill()
            sys.exit(f"FAIL: no answer to {address!r} within 10 s while the input stays open")
        chunk = os.read(child.stdout.fileno(), 4096)
        if not chunk:
            sys.exit(f"FAIL: the output ended before the answer to {address!r}")
        received += chunk
    if received != image.encode() + b"\n":
        sys.exit(f"FAIL: {address!r} answered {received!r}, expected {image!r}")
    received = b""
child.stdin.close()
child.wait(timeout=10)
rest, err = child.stdout.read(), child.stderr.read()
if child.returncode != 0 or rest:
    sys.exit(f"FAIL: status {child.returncode}, output after the input ended {rest!r}: {err!r}")
print("PASS")
