#!/usr/bin/env python3
"""ipveil-pcap stopped by SIGINT or SIGTERM at random moments of a run on an
endless capture from a pipe: whether its output is a pipe read slowly (so
that the signal lands inside a large write) or a regular file, what was
written must be a pcap of whole packets, the first ones of the input in
order, and the process must end as one killed by that signal (a shell sees
130 or 143). Also with an input that stops coming (a live capture on a quiet
link): the signal must end the wait for it.

    pcap_signal_test.py IPVEIL_PCAP [RUNS]
"""
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

pcap = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30

# The test sends the signals itself: its children must not inherit them ignored.
signal.signal(signal.SIGINT, signal.SIG_DFL)
signal.signal(signal.SIGTERM, signal.SIG_DFL)


def frame(length, n):
    """An Ethernet frame of `length` bytes: IPv4, UDP, zero payload."""
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, length - 14, n & 0xFFFF, 0, 64, 17, 0,
                     bytes([10, 0, n >> 8 & 255, n & 255]), bytes([192, 0, 2, n % 250 + 1]))
    udp = struct.pack(">HHHH", 40000, 53, length - 34, 0)
    return b"\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00" + ip + udp + bytes(length - 42)


# One block of the endless input, repeated: packets of many lengths.
LENGTHS = [60 + (i * 7919) % 1455 for i in range(997)]
HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)
BLOCK = b"".join(struct.pack("<IIII", i, 0, n, n) + frame(n, i) for i, n in enumerate(LENGTHS))


def feed(stream, stall):
    try:
        stream.write(HEADER)
        while True:
            stream.write(BLOCK)
            if stall:
                stream.flush()
                stall.wait()
    except (BrokenPipeError, ValueError, OSError):
        pass
    finally:
        try:
            stream.close()
        except OSError:
            pass


def check(output, what):
    """The output is a pcap of whole packets whose original lengths are the input's, in order."""
    if len(output) < 24 or output[:4] != HEADER[:4]:
        return f"{what}: {len(output)} bytes, no pcap header"
    at, index = 24, 0
    while at < len(output):
        if at + 16 > len(output):
            return f"{what}: ends inside the record header of packet {index + 1}"
        captured, original = struct.unpack_from("<II", output, at + 8)
        if original != LENGTHS[index % len(LENGTHS)] or captured > original:
            return f"{what}: packet {index + 1} of lengths {captured}/{original}, not the input's"
        if at + 16 + captured > len(output):
            return f"{what}: ends inside packet {index + 1}"
        at += 16 + captured
        index += 1
    return None


def run(to_pipe, stalled, signo, delay, scratch):
    path = os.path.join(scratch, "out.pcap")
    sink = subprocess.PIPE if to_pipe else open(path, "wb")
    process = subprocess.Popen([pcap, "-", "-"], stdin=subprocess.PIPE, stdout=sink, stderr=subprocess.DEVNULL)
    stall = threading.Event() if stalled else None
    threading.Thread(target=feed, args=(process.stdin, stall), daemon=True).start()
    chunks = []
    started = threading.Event()

    def drain():
        # Slow, small reads: the pipe stays full, so the command is mostly
        # inside a write when the signal comes.
        while True:
            chunk = process.stdout.read1(16384)
            if not chunk:
                break
            chunks.append(chunk)
            started.set()
            time.sleep(0.0005)

    if to_pipe:
        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        started.wait(10)
    else:
        sink.close()
        deadline = time.monotonic() + 10
        while os.path.getsize(path) == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
    time.sleep(delay)
    process.send_signal(signo)
    try:
        status = process.wait(20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return "did not end within 20 s of the signal"
    finally:
        if stall:
            stall.set()
    if to_pipe:
        reader.join(20)
        output = b"".join(chunks)
    else:
        with open(path, "rb") as written:
            output = written.read()
    what = f"{'pipe' if to_pipe else 'file'}{', input stalled' if stalled else ''}, " \
           f"{signal.Signals(signo).name} after {delay * 1000:.1f} ms"
    if status != -signo:
        return f"{what}: status {status}, not killed by the signal"
    return check(output, what)


seed = int(os.environ.get("SEED", time.time_ns() % 1000000))
rng = random.Random(seed)
failures = []
with tempfile.TemporaryDirectory() as scratch:
    for i in range(runs):
        error = run(i % 3 == 0, i % 3 == 2, rng.choice([signal.SIGINT, signal.SIGTERM]), rng.uniform(0, 0.05), scratch)
        if error:
            failures.append(error)
for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
if failures:
    print(f"{len(failures)} of {runs} runs failed (SEED={seed} repeats the delays)", file=sys.stderr)
    sys.exit(1)
