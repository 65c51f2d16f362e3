"""ipveil.dask on a local cluster of two worker processes, against the pandas API in this process: the same cells,
missing ones left as they were, the same dtypes; the key read by each worker from its key file, never in the graph."""
import csv
import importlib
import ipaddress
import os
import pickle
import random
import re

import numpy as np
import pandas as pd
import pytest

import ipveil

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")
import ipveil.dask  # noqa: E402  (needs dask)

COLUMNS = ["src", "dst", "v4", "v4_missing"]
POLICY = "special\npreserve 10.0.0.0/8"


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  host="127.0.0.1", worker_dashboard_address=None) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def client(cluster):
    with distributed.Client(cluster) as client:
        yield client


def write_key(path, digits, mode):
    path.write_text(digits + "\n")
    path.chmod(mode)
    return path


@pytest.fixture(scope="module")
def key_file(tmp_path_factory, default_digits):
    return write_key(tmp_path_factory.mktemp("key") / "key", default_digits, 0o600)


def flows(rows=3000, seed=7):
    """Address columns of every kind the helper takes, with each kind of missing cell, under an index that repeats
    labels (as a partition's may)."""
    rng = random.Random(seed)

    def address():
        if rng.random() < 0.3:
            return str(ipaddress.IPv6Address(0x20010db8 << 96 | rng.getrandbits(96)))
        return str(ipaddress.IPv4Address(rng.choice([10 << 24, 0]) | rng.getrandbits(24 + 8 * rng.randint(0, 1))))

    nulls = [None, float("nan"), pd.NA]
    src = [rng.choice(nulls) if rng.random() < 0.05 else address() for _ in range(rows)]
    dst = [pd.NA if rng.random() < 0.05 else address() for _ in range(rows)]
    v4 = np.array([rng.getrandbits(32) for _ in range(rows)], dtype=np.uint32)
    v4_missing = pd.array([None if rng.random() < 0.05 else rng.getrandbits(32) for _ in range(rows)], dtype="UInt32")
    return pd.DataFrame({"src": pd.Series(src, dtype=object), "dst": pd.Series(dst, dtype="string"), "v4": v4,
                         "v4_missing": v4_missing, "bytes": np.arange(rows, dtype=np.int64)},
                        index=np.arange(rows) // 3)


def pandas_api(mapping, frame):
    """The columns mapped in one process as the README's recipe maps them: the present cells through the pandas
    API (integers with missing ones as uint32), the missing ones left alone."""
    out = frame.copy()
    for column in COLUMNS:
        has = frame[column].notna()
        values = frame.loc[has, column]
        if values.dtype == pd.UInt32Dtype():
            values = values.to_numpy(dtype=np.uint32)
        out.loc[has, column] = np.asarray(mapping(values))
    return out


def assert_same_cells(result, expected):
    assert result.dtypes.equals(expected.dtypes) and result.index.equals(expected.index)
    for column in expected.columns:
        assert [repr(v) for v in result[column]] == [repr(v) for v in expected[column]], column


def cache_misses(client):
    return sum(client.run(lambda: importlib.import_module("ipveil.dask")._anonymizer.cache_info().misses).values())


@pytest.mark.parametrize("policy", [None, POLICY])
def test_columns_mapped_on_the_workers_as_the_pandas_api_maps_them(client, key_file, default_digits, policy):
    frame = flows()
    local = ipveil.Anonymizer.from_key_file(key_file, policy)
    expected = pandas_api(local.anonymize, frame)
    assert not expected[COLUMNS].equals(frame[COLUMNS])
    misses = cache_misses(client)

    source = dd.from_pandas(frame, npartitions=8)
    anonymized = ipveil.dask.anonymize_columns(source, COLUMNS, key_file, policy)
    assert anonymized.dtypes.equals(frame.dtypes)
    graph = cloudpickle.dumps(dict(anonymized.__dask_graph__()))
    key = bytes.fromhex(default_digits)
    assert default_digits.encode() not in graph and default_digits.upper().encode() not in graph and key not in graph
    assert_same_cells(anonymized.compute(), expected)

    # The key holder's way back, again on the workers; the generated texts are printed as ipveil prints them.
    revealed = ipveil.dask.deanonymize_columns(anonymized, COLUMNS, str(key_file), policy).compute()
    assert_same_cells(revealed, frame)
    # Sixteen partitions mapped, at most one key file read per worker process.
    assert cache_misses(client) - misses <= len(client.scheduler_info()["workers"])


def test_calls_differing_in_columns_or_policy_are_not_one_result(client, key_file):
    # Dask keeps one result per name: two calls on one frame must not share one.
    frame = flows(rows=300)
    source = dd.from_pandas(frame, npartitions=2)
    calls = [("src", None), ("dst", None), ("src", POLICY)]
    results = dd.compute(*(ipveil.dask.anonymize_columns(source, column, key_file, policy) for column, policy in calls))
    for (column, policy), result in zip(calls, results):
        expected = frame.copy()
        has = frame[column].notna()
        expected.loc[has, column] = ipveil.Anonymizer.from_key_file(key_file, policy).anonymize(frame[column][has])
        assert_same_cells(result, expected)


def test_key_file_open_to_others_refused_on_the_worker(client, tmp_path, default_digits):
    shared = write_key(tmp_path / "shared-key", default_digits, 0o640)
    source = dd.from_pandas(flows(rows=30), npartitions=2)
    with pytest.raises(PermissionError, match=r"has mode 640.*chmod 600"):
        ipveil.dask.anonymize_columns(source, "src", shared).compute()
    # Not remembered as refused: put right, the same file is read.
    shared.chmod(0o600)
    assert ipveil.dask.anonymize_columns(source, "src", shared)["src"].compute().notna().any()


def test_refused_before_anything_runs(key_file, tmp_path):
    source = dd.from_pandas(flows(rows=30), npartitions=2)
    for columns, path, policy, error, message in (
            (["src", "bytes"], key_file, None, TypeError, r"'bytes' holds int64.*astype\('uint32'\)"),
            ("port", key_file, None, KeyError, "no column 'port'"),
            ("src", "key", None, ValueError, "absolute path"),
            ("src", key_file, b"special", TypeError, "not bytes")):
        with pytest.raises(error, match=message):
            ipveil.dask.anonymize_columns(source, columns, path, policy)


def test_anonymizer_is_not_pickled_but_points_at_the_key_file(anonymizer):
    for dumps in (pickle.dumps, cloudpickle.dumps):
        with pytest.raises(TypeError, match=r"not pickled.*key file.*from_key_file\(path\)"):
            dumps(anonymizer)


def test_readme_example(cluster, client, key_file, anonymizer, tmp_path):
    text = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    section = text[text.index("## Dask:"):]
    (example,) = re.findall(r"```python\n(.*?)```", section[:section.index("\n## ", 1)], re.S)
    rows = [["start", "src", "dst", "note"], ["0.50", "10.0.0.1", "", "NA"],
            ["1.250", "2001:DB8::1", "10.0.0.2", "null"], ["2", "", "8.8.8.8", "a, b"]]
    for name, part in (("a", rows[:3]), ("b", rows[:1] + rows[3:])):
        (tmp_path / "in").mkdir(exist_ok=True)
        with open(tmp_path / "in" / f"{name}.csv", "w", newline="") as file:
            csv.writer(file).writerows(part)
    for old, new in (("tcp://SCHEDULER-HOST:8786", cluster.scheduler_address), ("/home/anon/.config/ipveil/key",
                     str(key_file)), ("/shared/flows/", f"{tmp_path}/in/"), ("/shared/flows-anonymized/",
                     f"{tmp_path}/out/")):
        assert old in example
        example = example.replace(old, new)
    names = {}
    exec(example, names)
    names["client"].close()

    out = [row for part in sorted((tmp_path / "out").iterdir()) for row in list(csv.reader(open(part)))[1:]]
    assert out == [[start, anonymizer.anonymize(src) if src else "", anonymizer.anonymize(dst) if dst else "", note]
                   for start, src, dst, note in rows[1:]]
