"""The module against the ipveil command and itself: same images for every input kind, round trips, prefix
preservation, the kinds given back, refusals that name what is wrong and leave nothing half-done, and the key's
forms and file."""
import collections
import copy
import ipaddress
import os
import pickle
import subprocess
import sys
import random
import re
import traceback

import numpy as np
import pandas as pd
import pytest

import ipveil


def random_ipv6(rng):
    """Random IPv6 addresses with the shapes that print differently: zero runs, IPv4-mapped, all bits."""
    value = rng.getrandbits(128)
    shape = rng.randrange(4)
    if shape == 1:
        value &= ~(0xFFFFFFFF << 32 * rng.randrange(3))  # a run of zero groups
    elif shape == 2:
        value = 0xFFFF << 32 | value & 0xFFFFFFFF  # ::ffff:a.b.c.d
    return ipaddress.IPv6Address(value)


@pytest.fixture(scope="module")
def addresses():
    rng = random.Random(16)
    v4 = [ipaddress.IPv4Address(rng.getrandbits(32)) for _ in range(1500)] + [ipaddress.IPv4Address(0),
                                                                               ipaddress.IPv4Address(2**32 - 1)]
    v6 = [random_ipv6(rng) for _ in range(1500)] + [ipaddress.IPv6Address(0), ipaddress.IPv6Address(2**128 - 1)]
    return v4, v6


def test_every_kind_gives_the_command_images(anonymizer, command, addresses):
    v4, v6 = addresses
    images4 = command([str(a) for a in v4])
    images6 = command([str(a) for a in v6])
    mixed = [str(a) for pair in zip(v4, v6) for a in pair]
    assert anonymizer.anonymize(mixed) == [i for pair in zip(images4, images6) for i in pair]

    assert [anonymizer.anonymize(str(a)) for a in v4[:50]] == images4[:50]
    assert [anonymizer.anonymize(str(a)) for a in v6[:50]] == images6[:50]
    assert [str(ipaddress.IPv4Address(anonymizer.anonymize(int(a)))) for a in v4[:50]] == images4[:50]
    assert [str(anonymizer.anonymize(a)) for a in v4[:50] + v6[:50]] == images4[:50] + images6[:50]

    array4 = anonymizer.anonymize(np.array([int(a) for a in v4], dtype=np.uint32))
    assert [str(ipaddress.IPv4Address(int(i))) for i in array4] == images4
    array6 = anonymizer.anonymize(np.frombuffer(b"".join(a.packed for a in v6), dtype=np.uint8).reshape(-1, 16))
    assert [ipaddress.IPv6Address(bytes(row)).compressed for row in array6] == images6


def test_text_read_and_printed_as_the_command_does(anonymizer, command):
    # The forms ipveil reads beyond the usual ones, and how it prints what it read.
    texts = ["10.0.0.256", "+10.0.0.1", "010.000.000.001", "1.2.3.4294967295", "0.0.0.0", "2001:DB8::1",
             "2001:0db8:0000:0000:0000:0000:0000:0001", "::ffff:10.0.0.1", "::10.0.0.1", "1::", "::",
             "1:2:3:4:5:6:1.2.3.4", "fe80:0:0:1::"]
    assert anonymizer.anonymize(texts) == command(texts)
    assert [anonymizer.anonymize(t) for t in texts] == command(texts)


def test_deanonymize_is_ipveil_reveal(anonymizer, reveal_command, addresses):
    v4, v6 = addresses
    images = [str(a) for a in v4[:300] + v6[:300]]
    assert anonymizer.deanonymize(images) == reveal_command(images)


def test_round_trips_and_prefixes(anonymizer, addresses):
    v4, v6 = addresses
    texts = [str(a) for a in v4 + v6]
    # Text comes back as ipveil prints it (::ffff:a.b.c.d where Python's str prints hex groups).
    assert [ipaddress.ip_address(t) for t in anonymizer.deanonymize(anonymizer.anonymize(texts))] == v4 + v6
    for a in v4[:20] + v6[:20]:
        assert anonymizer.deanonymize(anonymizer.anonymize(a)) == a
        assert ipaddress.ip_address(anonymizer.deanonymize(anonymizer.anonymize(str(a)))) == a
    ints = np.array([int(a) for a in v4], dtype=np.uint32)
    assert np.array_equal(anonymizer.deanonymize(anonymizer.anonymize(ints)), ints)
    rows = np.frombuffer(b"".join(a.packed for a in v6), dtype=np.uint8).reshape(-1, 16)
    assert np.array_equal(anonymizer.deanonymize(anonymizer.anonymize(rows)), rows)

    # A bijection that keeps exactly the common prefix of every neighbouring pair.
    images = anonymizer.anonymize(ints)
    assert len(set(images.tolist())) == len(set(ints.tolist()))
    def common(a, b, bits):
        return bits - int(a ^ b).bit_length()
    for (a, b), (x, y) in zip(zip(ints[:-1], ints[1:]), zip(images[:-1], images[1:])):
        assert common(int(a), int(b), 32) == common(int(x), int(y), 32)
    for a, b in zip(v6[:-1], v6[1:]):
        x, y = anonymizer.anonymize(a), anonymizer.anonymize(b)
        assert common(int(a), int(b), 128) == common(int(x), int(y), 128)


def test_kinds_come_back_as_given(anonymizer):
    texts = ["10.0.0.1", "2001:db8::1", "192.168.1.1"]
    images = anonymizer.anonymize(texts)
    assert anonymizer.anonymize(tuple(texts)) == tuple(images)
    assert anonymizer.anonymize(collections.deque(texts)) == images

    objects = np.array(texts + ["::1"], dtype=object).reshape(2, 2)
    out = anonymizer.anonymize(objects)
    assert out.dtype == object and out.shape == (2, 2)
    assert out.ravel().tolist() == images + [anonymizer.anonymize("::1")]
    unicode = anonymizer.anonymize(np.array(texts))
    assert unicode.dtype.kind == "U" and unicode.tolist() == images

    series = pd.Series(texts, index=[7, 8, 9], name="src")
    result = anonymizer.anonymize(series)
    assert isinstance(result, pd.Series) and result.name == "src" and list(result.index) == [7, 8, 9]
    assert result.tolist() == images
    strings = anonymizer.anonymize(series.astype("string"))
    assert strings.dtype == "string" and strings.tolist() == images
    numbers = pd.Series(np.array([1, 2], dtype=np.uint32), name="n")
    assert anonymizer.anonymize(numbers).dtype == np.uint32
    assert anonymizer.anonymize(numbers).tolist() == [anonymizer.anonymize(1), anonymizer.anonymize(2)]
    assert anonymizer.anonymize(pd.Index(texts, name="i")).tolist() == images

    grid = np.arange(12, dtype=np.uint32).reshape(3, 4)
    assert anonymizer.anonymize(grid).shape == (3, 4)
    assert anonymizer.anonymize(grid).ravel().tolist() == [anonymizer.anonymize(i) for i in range(12)]
    assert anonymizer.anonymize(np.uint32(5)) == anonymizer.anonymize(5)
    assert isinstance(anonymizer.anonymize(ipaddress.ip_address("::1")), ipaddress.IPv6Address)

    for empty in (np.zeros(0, np.uint32), np.zeros((0, 16), np.uint8), np.zeros(0, object)):
        out = anonymizer.anonymize(empty)
        assert out.shape == empty.shape and out.dtype == empty.dtype
    assert anonymizer.anonymize([]) == [] and anonymizer.anonymize(()) == ()


def test_categorical_columns_map_their_categories_and_keep_their_codes(anonymizer):
    # "010.0.0.1" and "10.0.0.1" are one address, so one image: their categories become one.
    texts = ["10.0.0.1", "2001:db8::1", None, "10.0.0.1", "010.0.0.1", "192.168.7.9"]
    expected = [None if t is None else anonymizer.anonymize(t) for t in texts]
    column = pd.Series(texts, index=[5, 4, 3, 2, 1, 0], name="src").astype("category")
    out = anonymizer.anonymize(column)
    assert isinstance(out.dtype, pd.CategoricalDtype) and out.name == "src" and out.index.tolist() == [5, 4, 3, 2, 1, 0]
    assert [None if pd.isna(x) else x for x in out] == expected
    assert sorted(out.cat.categories) == sorted(set(expected) - {None})
    back = anonymizer.deanonymize(out)
    assert [None if pd.isna(x) else x for x in back] == [None if t is None else anonymizer.deanonymize(i)
                                                        for t, i in zip(texts, expected)]

    order = ["10.0.0.2", "::1", "10.0.0.1"]
    index = anonymizer.anonymize(pd.CategoricalIndex(order[::-1], categories=order, ordered=True, name="a"))
    assert isinstance(index, pd.CategoricalIndex) and index.ordered and index.name == "a"
    assert index.tolist() == anonymizer.anonymize(order[::-1])
    assert index.categories.tolist() == anonymizer.anonymize(order)
    plain = anonymizer.anonymize(pd.Categorical(["::1", None]))
    assert isinstance(plain, pd.Categorical) and plain[0] == anonymizer.anonymize("::1") and pd.isna(plain[1])

    with pytest.raises(ValueError, match="'10.0.0', is not an IPv4 or IPv6 address"):
        anonymizer.anonymize(pd.Series(["10.0.0.1", "10.0.0"]).astype("category"))
    with pytest.raises(TypeError, match="holds int64"):
        anonymizer.anonymize(pd.Series([1, 2]).astype("category"))


def test_version_is_the_projects():
    top = open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")).read()
    assert ipveil.__version__ == re.search(r"project\(ipveil\s+VERSION\s+([0-9.]+)", top).group(1)


def test_non_contiguous_arrays_map_their_elements(anonymizer):
    rng = np.random.default_rng(3)
    ints = rng.integers(0, 2**32, size=400, dtype=np.uint32)
    assert np.array_equal(anonymizer.anonymize(ints[::3]), anonymizer.anonymize(ints)[::3])
    grid = ints.reshape(20, 20)
    assert np.array_equal(anonymizer.anonymize(grid.T), anonymizer.anonymize(grid).T)
    unaligned = np.frombuffer(b"\0" + ints.tobytes(), dtype=np.uint32, count=400, offset=1)
    assert np.array_equal(anonymizer.anonymize(unaligned), anonymizer.anonymize(ints))
    rows = rng.integers(0, 256, size=(50, 16), dtype=np.uint8)
    assert np.array_equal(anonymizer.anonymize(rows[::2]), anonymizer.anonymize(rows)[::2])
    assert np.array_equal(anonymizer.anonymize(np.asfortranarray(rows)), anonymizer.anonymize(rows))
    objects = np.array(["10.0.0.%d" % i for i in range(10)], dtype=object)
    assert anonymizer.anonymize(objects[::2]).tolist() == anonymizer.anonymize(objects.tolist()[::2])


@pytest.mark.parametrize("make", [list, lambda t: np.array(t, dtype=object), pd.Series, tuple])
@pytest.mark.parametrize("bad", ["10.0.0", "10.0.0.1.", "10.0.0.4294967296", " 10.0.0.1", "10.0.0.1\n", "",
                                 "2001:db8::1::1", "fe80::1%eth0", "[::1]", "10.0.0.0/8", "10.0.0.é",
                                 "1:2:3:4:5:6:7:8:9", "::ffff:1.2.3.256"])
def test_a_bad_string_names_its_index_and_text(anonymizer, make, bad):
    texts = ["10.0.0.%d" % i for i in range(1500)]
    texts[1234] = bad  # in the second batch
    given = make(texts)
    before = copy.deepcopy(given)
    with pytest.raises(ValueError, match=r"^Address 1234, ") as error:
        anonymizer.anonymize(given)
    assert repr(bad) in str(error.value)
    with pytest.raises(ValueError, match=r"^Address 1234, "):
        anonymizer.deanonymize(given)
    assert list(given) == list(before)
    with pytest.raises(ValueError, match="is not an IPv4 or IPv6 address"):
        anonymizer.anonymize(bad)


def test_wrong_types_dtypes_and_shapes_are_refused(anonymizer):
    for value in (-1, 2**32, 2**70):
        with pytest.raises(ValueError, match="0 to 4294967295"):
            anonymizer.anonymize(value)
    for value in (True, 1.5, b"10.0.0.1", {"10.0.0.1"}, None, ipaddress.ip_network("10.0.0.0/8"),
                  pd.DataFrame({"a": ["10.0.0.1"]})):
        with pytest.raises(TypeError):
            anonymizer.anonymize(value)
    for dtype in (np.int64, np.uint64, np.uint16, np.float64, np.dtype(">u4")):
        with pytest.raises(TypeError, match="uint32"):
            anonymizer.anonymize(np.zeros(4, dtype=dtype))
    for shape in ((16,), (4, 15), (2, 16, 1), (0, 4)):
        with pytest.raises(ValueError, match=r"shape \(N, 16\)"):
            anonymizer.anonymize(np.zeros(shape, dtype=np.uint8))
    with pytest.raises(TypeError, match="Address 1 is float, not str"):
        anonymizer.anonymize(pd.Series(["10.0.0.1", float("nan"), "::1"], dtype=object))
    with pytest.raises(TypeError, match="Address 2 is int"):
        anonymizer.anonymize(["::1", "10.0.0.1", 5])
    with pytest.raises(ValueError, match="zone index"):
        anonymizer.anonymize(ipaddress.IPv6Address("fe80::1%eth0"))


def test_key_forms_agree_and_are_never_shown(default_digits):
    raw = bytes.fromhex(default_digits)
    reference = ipveil.Anonymizer(default_digits).anonymize("10.1.2.3")
    for key in (raw, bytearray(raw), memoryview(raw), default_digits.upper()):
        assert ipveil.Anonymizer(key).anonymize("10.1.2.3") == reference
    other = ipveil.Anonymizer(bytes(32))
    assert other.anonymize("10.1.2.3") != reference
    assert default_digits not in repr(ipveil.Anonymizer(default_digits))
    assert "64 hexadecimal digits" in repr(ipveil.Anonymizer(default_digits))

    secret = "0123456789abcdef" * 4
    for bad, kind, message in ((secret[:-1], ValueError, "it has 63"), (secret + "0", ValueError, "it has 65"),
                               (secret[:-1] + "g", ValueError, "other characters"),
                               (" " + secret, ValueError, "other characters"),
                               (secret.encode(), ValueError, "32 bytes long; it has 64"),
                               (int(secret, 16), TypeError, "not int"), ([secret], TypeError, "not list")):
        with pytest.raises(kind, match=message) as error:
            ipveil.Anonymizer(bad)
        shown = "".join(traceback.format_exception(error.value))
        assert secret[4:20] not in shown and secret[4:20].encode().hex() not in shown
    assert ipveil.Anonymizer(key=default_digits).anonymize("10.1.2.3") == reference
    for args, kwargs in (((secret, None, None), {}), ((), {}), ((), {"kee": secret}), ((secret,), {"key": secret}),
                         ((), {"policy": secret})):
        with pytest.raises(TypeError, match=r"takes the key and an optional policy, Anonymizer\(key, policy=None\)") \
                as error:
            ipveil.Anonymizer(*args, **kwargs)
        assert secret[4:20] not in "".join(traceback.format_exception(error.value))
    # A key given in the policy's place (or as one of its lines) is refused without being quoted.
    for policy in (secret, "special\n" + secret.upper(), "keep " + secret):
        with pytest.raises(ValueError, match="^The policy line") as error:
            ipveil.Anonymizer(secret, policy)
        assert secret[4:20] not in "".join(traceback.format_exception(error.value)).lower()
    with pytest.raises(TypeError, match="not pickled"):
        pickle.dumps(other)
    with pytest.raises(TypeError):
        copy.copy(other)


def test_key_file_read_like_the_build(tmp_path, default_digits):
    reference = ipveil.Anonymizer(default_digits).anonymize(["10.1.2.3", "2001:db8::7"])
    for contents in (default_digits, default_digits + "\n", default_digits.upper() + "\n"):
        path = tmp_path / "key"
        path.write_text(contents)
        path.chmod(0o600)
        keyed = ipveil.Anonymizer.from_key_file(path)
        assert keyed.anonymize(["10.1.2.3", "2001:db8::7"]) == reference
        assert str(path) in repr(keyed) and default_digits not in repr(keyed)
    link = tmp_path / "link"
    link.symlink_to(path)  # followed, as stat -L does for the build
    assert ipveil.Anonymizer.from_key_file(str(link)).anonymize(["10.1.2.3", "2001:db8::7"]) == reference
    assert ipveil.Anonymizer.from_key_file(os.fsencode(path)).anonymize("10.1.2.3") == reference[0]
    path.chmod(0o640)
    with pytest.raises(PermissionError, match=f"^The key file {path} has mode 640"):
        ipveil.Anonymizer.from_key_file(os.fsencode(path))

    for mode in (0o640, 0o604, 0o620, 0o602, 0o610, 0o644):
        path.chmod(mode)
        with pytest.raises(PermissionError, match=f"has mode {mode:o}: its group or other users") as error:
            ipveil.Anonymizer.from_key_file(path)
        assert f"chmod 600 {path}" in str(error.value)
    path.chmod(0o600)

    secret = "fedcba9876543210" * 4
    for contents, message in ((secret[1:], "it has 63"), (secret + "0", "it has 65"),
                              (secret + "\n\n", "other characters"), (secret * 3, "it has 192 characters"),
                              (" " + secret, "other characters"), (secret + "\r\n", "other characters"),
                              ("", "it has 0")):
        path.write_text(contents)
        with pytest.raises(ValueError, match=message) as error:
            ipveil.Anonymizer.from_key_file(path)
        assert secret[4:20] not in "".join(traceback.format_exception(error.value))

    with pytest.raises(FileNotFoundError):
        ipveil.Anonymizer.from_key_file(tmp_path / "missing")
    with pytest.raises(ValueError, match="is not a file"):
        ipveil.Anonymizer.from_key_file(tmp_path)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo, 0o600)
    with pytest.raises(ValueError, match="is not a file"):
        ipveil.Anonymizer.from_key_file(fifo)  # refused at once, not waited on


def test_independent_aes_per_bit(anonymizer, default_digits):
    # The mapping recomputed from its definition with another AES (OpenSSL's, through cryptography): bit pos flipped
    # by the top bit of AES of the first pos bits followed by the pad's remaining bits.
    algorithms = pytest.importorskip("cryptography.hazmat.primitives.ciphers")
    key = bytes.fromhex(default_digits)
    encrypt = algorithms.Cipher(algorithms.algorithms.AES(key[:16]), algorithms.modes.ECB()).encryptor().update
    pad = int.from_bytes(encrypt(key[16:]), "big")

    def image(value, bits):
        value <<= 128 - bits
        out = 0
        for pos in range(bits):
            keep = (1 << 128 - pos) - 1
            block = (value & ~keep | pad & keep).to_bytes(16, "big")
            out |= (value >> 127 - pos & 1 ^ encrypt(block)[0] >> 7) << 127 - pos
        return out >> 128 - bits

    rng = random.Random(5)
    for _ in range(40):
        a = rng.getrandbits(32)
        assert anonymizer.anonymize(a) == image(a, 32)
        b = rng.getrandbits(128)
        assert int(anonymizer.anonymize(ipaddress.IPv6Address(b))) == image(b, 128)


def test_help_explains_the_calls():
    assert "key file" in ipveil.Anonymizer.from_key_file.__doc__
    assert "pandas" in ipveil.Anonymizer.anonymize.__doc__
    assert os.path.exists(os.path.join(os.path.dirname(ipveil.__file__), "__init__.pyi"))


def test_single_addresses_and_lists_need_no_numpy(anonymizer):
    code = ("import sys, ipveil; a = ipveil.Anonymizer(bytes(32)); "
            "print(a.anonymize(['10.0.0.1', '::1']), a.anonymize(7), 'numpy' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert out.strip().endswith("False")
