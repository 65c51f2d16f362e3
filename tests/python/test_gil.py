"""The GIL is released while arrays are mapped: a Python thread keeps running during one long call.

A thread stamps the clock in a loop while the main thread maps one large array. Were the GIL held for the call, no
stamp could fall inside it (the stamping thread runs Python code, which needs the GIL): the longest gap between stamps
would cover the whole call. Released, stamps fill the call. The array is sized so that the call lasts about 0.4 s (at
least 0.1 s is required) on this machine, which leaves the scheduler of a loaded two-core machine ample room. With the
release taken out of the module, the longest gap came to 0.87 - 0.99 of the call (1 to 3 stamps inside); with it,
about 0.03."""
import os
import threading
import time

import numpy as np
import pytest

import ipveil


def calibrated(make, anonymizer, seconds=0.4):
    """An input from make(n), n grown until one call takes about `seconds`."""
    n = 1 << 14
    while True:
        values = make(n)
        start = time.perf_counter()
        anonymizer.anonymize(values)
        took = time.perf_counter() - start
        if took >= seconds / 4 or n >= 1 << 25:
            return make(min(1 << 25, int(n * seconds / max(took, 1e-6))))
        n *= 4


def gaps_during(call):
    """Runs call() while another thread stamps the clock; the call's span and the longest stretch of it, from its
    start to its end, without a stamp, and how many stamps fell inside."""
    stamps = []
    stop = threading.Event()

    def stamp():
        # A millisecond's sleep between stamps keeps the list short; waking needs the GIL, as stamping does.
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=stamp)
    thread.start()
    time.sleep(0.05)
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    stop.set()
    thread.join()
    inside = [start] + [t for t in stamps if start < t < end] + [end]
    return end - start, max(b - a for a, b in zip(inside, inside[1:])), len(inside) - 2


@pytest.mark.parametrize("kind", ["uint32", "uint8x16", "strings"])
def test_another_thread_runs_while_an_array_is_mapped(kind):
    anonymizer = ipveil.Anonymizer(os.environ["IPVEIL_DEFAULT_KEY"])
    rng = np.random.default_rng(1)
    make = {
        "uint32": lambda n: rng.integers(0, 2**32, size=n, dtype=np.uint32),
        "uint8x16": lambda n: rng.integers(0, 256, size=(n // 4, 16), dtype=np.uint8),
        "strings": lambda n: ["10.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255) for i in range(n // 8)],
    }[kind]
    # Strings cost memory as Python objects: fewer of them, made slower by the stamping thread's share of the GIL.
    values = calibrated(make, anonymizer, seconds=0.2 if kind == "strings" else 0.4)
    span, longest, count = gaps_during(lambda: anonymizer.anonymize(values))
    assert span > 0.1, f"the call took {span:.3f} s; too short to tell"
    # A held GIL gives no stamp inside the call and a stretch of all of it; a slow (sanitizer) build of the string
    # path, which holds the GIL to read the strings between batches, gives fewer stamps, so a handful must do.
    assert count >= 5 and longest < span / 2, (
        f"{kind}: {count} stamps during a call of {span:.3f} s, longest stretch without one {longest:.3f} s")
