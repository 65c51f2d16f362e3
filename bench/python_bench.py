#!/usr/bin/python3
"""The Python module's speed, with the ratios that matter measured in one run.

    cmake --preset bench -DIPVEIL_PYTHON=ON && cmake --build --preset bench
    /usr/bin/python3 bench/python_bench.py [BUILD_DIR]        # default build/bench

1. A numpy uint32 array of 10 M random IPv4 addresses through Anonymizer.anonymize, against the C++ batch anonymizer
   (bench/python_batch_reference) on the same addresses; target: the module at 0.85 of the C++ rate or better.
2. A list of 1 M address strings, 30 % IPv6 (bench/gen_trace's mixed trace, as bench/e2e.sh makes it), through
   Anonymizer.anonymize, against what a user would write without the module: ipaddress to parse and print, and
   cryptography's AES (Debian python3-cryptography) once per address bit, timed on a sample; target: 100 times faster.

Everything runs pinned to one processor (the last), as the other benchmarks do; best of the repetitions, the module and
the C++ batch taking turns. Images are
compared between the module and each peer, so a fast wrong answer shows. ADDRESSES=, STRINGS=, SAMPLE=, REPETITIONS=
in the environment change the sizes.
"""
import ipaddress
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

# The public default key (cmake/IpveilKey.cmake): speed does not depend on the key.
KEY = "6f807ded2e1e4ccfbed418caa4c6af8a6ff55867260a0ec10ff46c5455bd57ef"


def best_of(repetitions, call):
    best = float("inf")
    for _ in range(repetitions):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def plain_python(key):
    """The mapping written with ipaddress and cryptography alone: one AES call per address bit."""
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    encrypt = Cipher(algorithms.AES(key[:16]), modes.ECB()).encryptor().update
    pad = int.from_bytes(encrypt(key[16:]), "big")

    def anonymize(text):
        address = ipaddress.ip_address(text)
        bits = address.max_prefixlen
        value = int(address) << 128 - bits
        image = 0
        for pos in range(bits):
            keep = (1 << 128 - pos) - 1
            flip = encrypt((value & ~keep | pad & keep).to_bytes(16, "big"))[0] >> 7
            image |= ((value >> 127 - pos & 1) ^ flip) << 127 - pos
        return str(type(address)(image >> 128 - bits))

    return anonymize


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
    sys.path.insert(0, os.path.join(build, "python"))
    import ipveil

    count = int(os.environ.get("ADDRESSES", 10_000_000))
    strings = int(os.environ.get("STRINGS", 1_000_000))
    sample = int(os.environ.get("SAMPLE", 2_000))
    repetitions = int(os.environ.get("REPETITIONS", 5))
    cpu = max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})  # the peers, started from here, inherit it
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 "unknown")
    print(f"CPU: {model}, pinned to processor {cpu}; Python {sys.version.split()[0]}, numpy {np.__version__}")

    anonymizer = ipveil.Anonymizer(KEY)
    addresses = np.random.default_rng(1).integers(0, 2**32, size=count, dtype=np.uint32)
    # The two take turns, so that a change in the machine's load falls on both.
    cpp_seconds = module_seconds = float("inf")
    with tempfile.TemporaryDirectory() as work:
        given, taken = os.path.join(work, "addresses"), os.path.join(work, "images")
        addresses.tofile(given)
        for _ in range(repetitions):
            reference = subprocess.run([os.path.join(build, "bench", "python_batch_reference"), KEY, given, taken,
                                        "1"], check=True, capture_output=True, text=True)
            cpp_seconds = min(cpp_seconds, float(reference.stdout))
            seconds, images = best_of(1, lambda: anonymizer.anonymize(addresses))
            module_seconds = min(module_seconds, seconds)
        cpp_images = np.fromfile(taken, dtype=np.uint32)
    if not np.array_equal(images, cpp_images):
        sys.exit("the module's images differ from the C++ batch anonymizer's")
    ratio = cpp_seconds / module_seconds
    print(f"uint32 array, {count} addresses: module {count / module_seconds / 1e6:.1f} M/s, "
          f"C++ batch {count / cpp_seconds / 1e6:.1f} M/s, ratio {ratio:.3f} (target >= 0.85)")

    trace = subprocess.run([os.path.join(build, "bench", "gen_trace"), str(strings), "4", "30"], check=True,
                           capture_output=True, text=True).stdout
    texts = [line.split()[2] for line in trace.splitlines()]
    share6 = sum(":" in t for t in texts) / len(texts)
    module_seconds, images = best_of(max(1, repetitions // 2), lambda: anonymizer.anonymize(texts))
    module_rate = len(texts) / module_seconds
    try:
        plain = plain_python(bytes.fromhex(KEY))
    except ImportError:
        print(f"str list, {len(texts)} addresses ({share6:.0%} IPv6): module {module_rate / 1e6:.2f} M/s; "
              "no plain-Python ratio: python3-cryptography is not installed")
        return
    chosen = texts[:sample]
    plain_seconds, plain_images = best_of(1, lambda: [plain(t) for t in chosen])
    if plain_images != images[:sample]:
        sys.exit("the plain-Python images differ from the module's")
    plain_rate = len(chosen) / plain_seconds
    print(f"str list, {len(texts)} addresses ({share6:.0%} IPv6): module {module_rate / 1e6:.2f} M/s; plain Python "
          f"(ipaddress + cryptography, {len(chosen)} of them) {plain_rate / 1e3:.2f} k/s; "
          f"ratio {module_rate / plain_rate:.0f} (target >= 100)")


if __name__ == "__main__":
    main()
