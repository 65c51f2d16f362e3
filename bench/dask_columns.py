#!/usr/bin/python3
"""ipveil.dask's rate on a local cluster of 1 and of 2 worker processes, beside the pandas API in one process.

    cmake --preset bench -DIPVEIL_PYTHON=ON && cmake --build --preset bench
    /usr/bin/python3 bench/dask_columns.py [BUILD_DIR]        # default build/bench

A dataframe of ROWS rows (default 10 M) in PARTITIONS partitions (default 40) with two address columns, src and dst:
str, 30 % IPv6 (KIND=str, the default), or uint32 IPv4 (KIND=uint32). Each partition is made on the worker that holds
it and kept there (persist), so that what is timed is anonymize_columns() over both columns with its results kept on
the workers, as a job that writes its output from the workers would see it: no data goes through the client. The
pandas figure is Anonymizer.anonymize over the same two columns of the same rows, whole, in this process. Best of
REPETITIONS (default 3) after one warm-up that lets each worker read the key file. The first partition's images from
the cluster are checked against the pandas API's, so a fast wrong answer shows.

Nothing is pinned: the workers are separate processes, one thread each, and a machine with fewer processors than
workers shows it in the 2-worker figure. A str partition draws its cells from a pool of 65536 addresses, so that
making them costs little; every cell is parsed, mapped and printed all the same.
"""
import ipaddress
import os
import sys
import tempfile
import time

import numpy as np
import pandas as pd

# The public default key (cmake/IpveilKey.cmake): speed does not depend on the key.
KEY = "6f807ded2e1e4ccfbed418caa4c6af8a6ff55867260a0ec10ff46c5455bd57ef"
COLUMNS = ["src", "dst"]


def make_partition(index, rows, kind):
    rng = np.random.default_rng(index)
    if kind == "uint32":
        return pd.DataFrame({column: rng.integers(0, 2**32, size=rows, dtype=np.uint32) for column in COLUMNS})
    pool_size = 1 << 16
    v4 = rng.integers(0, 2**32, size=pool_size, dtype=np.uint32)
    v6 = rng.integers(0, 2**64, size=(pool_size, 2), dtype=np.uint64)
    is_v6 = rng.random(pool_size) < 0.3
    pool = np.array([str(ipaddress.IPv6Address(int(hi) << 64 | int(lo))) if six else str(ipaddress.IPv4Address(int(a)))
                     for a, (hi, lo), six in zip(v4, v6, is_v6)], dtype=object)
    return pd.DataFrame({column: pool[rng.integers(0, pool_size, size=rows)] for column in COLUMNS})


def best_of(repetitions, call):
    best = float("inf")
    for _ in range(repetitions):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
    sys.path.insert(0, os.path.join(build, "python"))
    # The workers are other processes: they find the module through the environment.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.join(build, "python"),
                                                             os.environ.get("PYTHONPATH")]))
    import dask
    import dask.dataframe as dd
    import distributed

    import ipveil
    import ipveil.dask

    rows = int(os.environ.get("ROWS", 10_000_000))
    partitions = int(os.environ.get("PARTITIONS", 40))
    kind = os.environ.get("KIND", "str")
    repetitions = int(os.environ.get("REPETITIONS", 3))
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 "unknown")
    print(f"CPU: {model}, {os.cpu_count()} processors; Python {sys.version.split()[0]}, pandas {pd.__version__}, "
          f"dask {dask.__version__}")
    print(f"{rows} rows in {partitions} partitions, columns {', '.join(COLUMNS)} of {kind}")
    sizes = [rows // partitions + (i < rows % partitions) for i in range(partitions)]

    with tempfile.TemporaryDirectory() as work:
        key_file = os.path.join(work, "key")
        descriptor = os.open(key_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        os.write(descriptor, (KEY + "\n").encode())
        os.close(descriptor)

        anonymizer = ipveil.Anonymizer.from_key_file(key_file)
        first = make_partition(0, sizes[0], kind)
        expected = [anonymizer.anonymize(first[column]) for column in COLUMNS]

        frame = pd.concat([make_partition(i, size, kind) for i, size in enumerate(sizes)], ignore_index=True)
        seconds = best_of(repetitions, lambda: [anonymizer.anonymize(frame[column]) for column in COLUMNS])
        print(f"pandas, one process: {rows / seconds / 1e6:.2f} M rows/s ({seconds:.2f} s)")
        del frame

        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          dashboard_address=None, host="127.0.0.1",
                                          worker_dashboard_address=None) as cluster, distributed.Client(cluster):
                source = dd.from_map(make_partition, range(partitions), sizes, [kind] * partitions,
                                     meta=make_partition(0, 0, kind)).persist()
                distributed.wait(source)
                ipveil.dask.anonymize_columns(source.partitions[:workers], COLUMNS, key_file).compute()

                # Each repetition under a name of its own (a step that hands the partition on as it is): Dask
                # would take a result of the same name still held from the one before for this one.
                repetition = iter(range(repetitions))

                def run():
                    renamed = source.map_partitions(lambda part: part, token=f"repetition-{next(repetition)}")
                    distributed.wait(ipveil.dask.anonymize_columns(renamed, COLUMNS, key_file).persist())

                seconds = best_of(repetitions, run)
                images = ipveil.dask.anonymize_columns(source.partitions[0], COLUMNS, key_file).compute()
                if not all(images[column].equals(image) for column, image in zip(COLUMNS, expected)):
                    sys.exit("The cluster's images differ from the pandas API's.")
                print(f"dask, {workers} worker process{'es' if workers > 1 else ''}: "
                      f"{rows / seconds / 1e6:.2f} M rows/s ({seconds:.2f} s)")


if __name__ == "__main__":
    main()
