"""The module's MAC mapping against ipveil-pcap: the MACs it writes into the Ethernet headers of a capture for the
same key, forwards and with --reveal; then round trips and a bijection on a sample, the forms and kinds taken and
given back, and refusals."""
import os
import random
import re
import struct
import subprocess

import numpy as np
import pandas as pd
import pytest

import ipveil


def ethernet_frame(destination, source, number):
    """An IPv4/UDP frame between two MACs (six bytes each), its IPv4 header checksum right, no UDP checksum."""
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + 8 + 4, number, 0, 64, 17, 0, bytes([10, 0, 0, 1]),
                         bytes([10, 0, 0, 2]))
    total = sum(struct.unpack("!10H", header))
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    header = header[:10] + struct.pack("!H", ~total & 0xFFFF) + header[12:]
    return destination + source + b"\x08\x00" + header + struct.pack("!HHHH", 40000, 9, 12, 0) + b"ping"


def write_pcap(path, frames):
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for n, frame in enumerate(frames):
            out.write(struct.pack("<IIII", 1700000000 + n, 0, len(frame), len(frame)) + frame)


def read_pcap(path):
    """The frames of a classic pcap file, either byte order."""
    data = open(path, "rb").read()
    order = "<" if struct.unpack("<I", data[:4])[0] in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    frames, at = [], 24
    while at < len(data):
        _, _, captured, _ = struct.unpack(order + "IIII", data[at:at + 16])
        frames.append(data[at + 16:at + 16 + captured])
        at += 16 + captured
    return frames


def colon_form(octets):
    return ":".join(f"{b:02x}" for b in octets)


@pytest.fixture(scope="session")
def pcap_command(tmp_path_factory):
    """ipveil-pcap of this build tree run on frames between the MACs given in pairs: the MACs of its output."""
    if os.environ.get("IPVEIL_KEYED") == "ON":
        pytest.skip("this build tree is keyed; its ipveil-pcap does not use the default key")
    work = tmp_path_factory.mktemp("pcap")

    def run(macs, *options):
        write_pcap(work / "in.pcap", [ethernet_frame(macs[i], macs[i + 1], i) for i in range(0, len(macs), 2)])
        subprocess.run([os.environ["IPVEIL_PCAP_COMMAND"], *options, str(work / "in.pcap"), str(work / "out.pcap")],
                       check=True, capture_output=True)
        return [mac for frame in read_pcap(work / "out.pcap") for mac in (frame[0:6], frame[6:12])]
    return run


@pytest.fixture(scope="module")
def macs():
    """Random MACs with every combination of the group and local bits, and the ones that are kept or edges."""
    rng = random.Random(48)
    sample = [rng.getrandbits(48).to_bytes(6, "big") for _ in range(600)]
    edges = ["ff:ff:ff:ff:ff:ff", "00:00:00:00:00:00", "01:00:5e:00:00:fb", "33:33:00:00:00:01", "02:42:ac:11:00:02",
             "fe:ff:ff:ff:ff:ff", "ff:ff:ff:ff:ff:fe", "01:80:c2:00:00:0e"]
    return sample + [bytes.fromhex(e.replace(":", "")) for e in edges]


def test_every_kind_gives_the_images_ipveil_pcap_writes(anonymizer, pcap_command, macs):
    images = [colon_form(m) for m in pcap_command(macs)]
    assert anonymizer.anonymize_mac([colon_form(m) for m in macs]) == images
    assert [anonymizer.anonymize_mac(int.from_bytes(m, "big")) for m in macs] == [int(i.replace(":", ""), 16)
                                                                                   for i in images]
    rows = np.frombuffer(b"".join(macs), dtype=np.uint8).reshape(-1, 6)
    assert [colon_form(row) for row in anonymizer.anonymize_mac(rows)] == images
    # --reveal maps them back as deanonymize_mac does.
    revealed = pcap_command([bytes.fromhex(i.replace(":", "")) for i in images], "--reveal")
    assert [colon_form(m) for m in revealed] == [colon_form(m) for m in macs]
    assert anonymizer.deanonymize_mac(images) == [colon_form(m) for m in macs]


def test_a_bijection_that_keeps_the_flag_bits_and_the_broadcast(anonymizer):
    rng = np.random.default_rng(6)
    rows = rng.integers(0, 256, size=(50000, 6), dtype=np.uint8)
    images = anonymizer.anonymize_mac(rows)
    assert len(np.unique(images, axis=0)) == len(np.unique(rows, axis=0))
    assert np.array_equal(images[:, 0] & 3, rows[:, 0] & 3)
    assert np.array_equal(anonymizer.deanonymize_mac(images), rows)
    values = rows.astype(np.uint64) @ (np.uint64(1) << np.arange(40, -8, -8, dtype=np.uint64))
    assert np.array_equal(anonymizer.anonymize_mac(values),
                          images.astype(np.uint64) @ (np.uint64(1) << np.arange(40, -8, -8, dtype=np.uint64)))
    assert anonymizer.anonymize_mac("ff:ff:ff:ff:ff:ff") == "ff:ff:ff:ff:ff:ff"


def test_every_form_read_and_one_printed(anonymizer):
    image = anonymizer.anonymize_mac("00:1a:2b:3c:4d:5e")
    assert len(image) == 17 and image == image.lower() and image.count(":") == 5
    for form in ["00:1A:2b:3C:4d:5E", "00-1a-2b-3c-4d-5e", "00-1A-2B-3C-4D-5E", "001a.2b3c.4d5e", "001A.2B3C.4D5E",
                 "001a2b3c4d5e", "001A2B3C4D5E"]:
        assert anonymizer.anonymize_mac(form) == image, form
    assert anonymizer.deanonymize_mac(image.upper().replace(":", "-")) == "00:1a:2b:3c:4d:5e"


def test_kinds_come_back_as_given(anonymizer):
    texts = ["00:1a:2b:3c:4d:5e", "02-00-00-00-00-01", "ffff.ffff.ffff"]
    images = anonymizer.anonymize_mac(texts)
    assert anonymizer.anonymize_mac(tuple(texts)) == tuple(images)
    objects = anonymizer.anonymize_mac(np.array(texts, dtype=object).reshape(3, 1))
    assert objects.dtype == object and objects.shape == (3, 1) and objects.ravel().tolist() == images
    unicode = anonymizer.anonymize_mac(np.array(texts))
    assert unicode.dtype.kind == "U" and unicode.tolist() == images
    series = anonymizer.anonymize_mac(pd.Series(texts, index=[7, 8, 9], name="mac"))
    assert series.tolist() == images and series.index.tolist() == [7, 8, 9] and series.name == "mac"
    index = anonymizer.anonymize_mac(pd.Index(texts, name="mac"))
    assert isinstance(index, pd.Index) and index.tolist() == images and index.name == "mac"
    numbers = pd.Series([0x001A2B3C4D5E, 0xFFFFFFFFFFFF], dtype=np.int64)
    assert anonymizer.anonymize_mac(numbers).tolist() == [anonymizer.anonymize_mac(int(n)) for n in numbers]
    assert anonymizer.anonymize_mac(np.uint64(0x001A2B3C4D5E)) == anonymizer.anonymize_mac(0x001A2B3C4D5E)
    # A categorical column: two forms of one MAC become one category, missing values stay missing.
    column = pd.Series(["00:1a:2b:3c:4d:5e", None, "00-1A-2B-3C-4D-5E", "02-00-00-00-00-01"]).astype("category")
    mapped = anonymizer.anonymize_mac(column)
    assert isinstance(mapped.dtype, pd.CategoricalDtype) and len(mapped.cat.categories) == 2
    assert mapped.isna().tolist() == [False, True, False, False]
    assert mapped[0] == mapped[2] == images[0] and mapped[3] == images[1]
    assert anonymizer.anonymize_mac(np.zeros((0, 6), np.uint8)).shape == (0, 6) and anonymizer.anonymize_mac([]) == []
    rows = np.array([[0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]] * 4, dtype=np.uint8)[::2]  # strided
    assert colon_form(anonymizer.anonymize_mac(rows)[1]) == images[0]


@pytest.mark.parametrize("bad", ["00:1a:2b:3c:4d", "00:1a:2b:3c:4d:5e:6f", "00:1a-2b:3c:4d:5e", "0:1a:2b:3c:4d:5e",
                                 "001a.2b3c4d5e", "001a2b3c4d5g", "00:1a:2b:3c:4d:5e\n", " 001a2b3c4d5e", "",
                                 "00.1a.2b.3c.4d.5e", "10.0.0.1"])
def test_a_bad_string_names_its_index_and_text(anonymizer, bad):
    with pytest.raises(ValueError, match="is not a MAC address"):
        anonymizer.anonymize_mac(bad)
    with pytest.raises(ValueError, match=f"^MAC 1, {re.escape(repr(bad))}, is not a MAC address"):
        anonymizer.anonymize_mac(["00:1a:2b:3c:4d:5e", bad])


def test_wrong_types_values_and_shapes_are_refused(anonymizer):
    texts = ["00:1a:2b:3c:4d:5e", "02:00:00:00:00:01"]
    for value, error, message in [
            (2**48, ValueError, "0 to 2\\*\\*48-1"), (-1, ValueError, "0 to 2\\*\\*48-1"),
            (True, TypeError, "not bool"), (b"\x00\x1a\x2b\x3c\x4d\x5e", TypeError, "not bytes"),
            (["00:1a:2b:3c:4d:5e", 5], TypeError, "MAC 1 is int, not str"),
            (np.zeros((2, 16), dtype=np.uint8), ValueError, "shape \\(2, 16\\)"),
            (np.zeros(3, dtype=np.float64), TypeError, "holds float64"),
            (np.array([1, -1], dtype=np.int64), ValueError, "MAC 1, -1, is not a 48-bit MAC"),
            (np.array([2**48], dtype=np.uint64), ValueError, "MAC 0, 281474976710656, is not a 48-bit MAC"),
            (pd.DataFrame({"mac": texts}), TypeError, "not a MAC column")]:
        with pytest.raises(error, match=message):
            anonymizer.anonymize_mac(value)
    kept = list(texts)
    anonymizer.anonymize_mac(kept)
    assert kept == texts
