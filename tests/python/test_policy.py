"""Release policies through the module, over random keys and policies: the mapping stays a prefix-preserving
bijection, preserved prefixes hold their addresses, kept addresses stay, deanonymize inverts, rekey is reveal then
anonymize on every input kind; refusals name their line; the key id; and the images ipveil-pcap writes with the same
key file and policy."""
import collections
import hashlib
import ipaddress
import os
import random
import struct
import subprocess

import numpy as np
import pandas as pd
import pytest

import ipveil
from test_mac import read_pcap, write_pcap


def bit_length(values):
    """The bit length of every element of a uint32 array (exact in float64)."""
    return np.where(values == 0, 0, np.frexp(values.astype(np.float64))[1])


def network(text):
    return ipaddress.ip_network(text)


def random_rules(rng, outer, count):
    """Up to count preserve / keep rules on random prefixes inside the network outer, no prefix ruled twice."""
    rules = {}
    for _ in range(count):
        length = rng.randrange(outer.prefixlen + 1, outer.max_prefixlen + 1)
        value = int(outer.network_address) | rng.getrandbits(outer.max_prefixlen - outer.prefixlen)
        prefix = ipaddress.ip_network((value >> (outer.max_prefixlen - length) << (outer.max_prefixlen - length),
                                       length))
        rules.setdefault(prefix, rng.choice(["preserve", "keep"]))
    return [(action, prefix) for prefix, action in rules.items()]


def policy_text(rules, extra=""):
    return extra + "".join(f"{action} {prefix}\n" for action, prefix in rules)


def check_ipv4(anonymizer, rules, addresses, rng):
    """The properties of the mapping on a uint32 array of addresses under rules [(action, network)]."""
    images = anonymizer.anonymize(addresses)
    assert np.array_equal(anonymizer.deanonymize(images), addresses)
    only = [prefix for action, prefix in rules if action == "only"]
    if only:
        outside = np.ones(len(addresses), dtype=bool)
        for prefix in only:
            outside &= (addresses & int(prefix.netmask)) != int(prefix.network_address)
        assert np.array_equal(images[outside], addresses[outside])
    for action, prefix in rules:
        inside = (addresses & int(prefix.netmask)) == int(prefix.network_address)
        if action == "keep":
            assert np.array_equal(images[inside], addresses[inside]), prefix
        else:
            assert np.all((images[inside] & int(prefix.netmask)) == int(prefix.network_address)), prefix
    order = np.array(rng.sample(range(len(addresses)), len(addresses)))
    assert np.array_equal(bit_length(addresses ^ addresses[order]), bit_length(images ^ images[order]))
    return images


def test_a_slash_16_with_rules_inside_maps_onto_itself():
    rng = random.Random(1)
    block = network("10.0.0.0/16")
    addresses = np.arange(0x0A000000, 0x0A010000, dtype=np.uint32)
    for _ in range(12):
        rules = [(rng.choice(["preserve", "only"]), block)] + random_rules(rng, block, rng.randrange(1, 8))
        anonymizer = ipveil.Anonymizer(rng.randbytes(32), policy_text(rules))
        images = check_ipv4(anonymizer, rules, addresses, rng)
        assert np.array_equal(np.sort(images), addresses)  # every one of the 2^16 images, each once


def test_sampled_over_the_whole_space():
    rng = random.Random(2)
    for _ in range(6):
        rules = random_rules(rng, network("0.0.0.0/0"), 10)
        if rng.random() < 0.5:
            first = int(rules[0][1].network_address)
            rules += [("only", prefix) for prefix in {network("10.0.0.0/8"), network((first >> 28 << 28, 4))}]
        anonymizer = ipveil.Anonymizer(rng.randbytes(32), policy_text(rules, rng.choice(["", "special\n"])))
        # Random addresses, and as many inside the rules' prefixes and next to them.
        sample = [rng.getrandbits(32) for _ in range(20000)]
        for _, prefix in rules:
            base = int(prefix.network_address)
            sample += [base | rng.getrandbits(32 - prefix.prefixlen) for _ in range(200)]
            sample += [(base - 1) % 2**32, (int(prefix.broadcast_address) + 1) % 2**32]
        check_ipv4(anonymizer, rules, np.unique(np.array(sample, dtype=np.uint32)), rng)


def test_ipv6_rules_hold_and_prefixes_are_preserved():
    rng = random.Random(3)
    for _ in range(4):
        rules = random_rules(rng, network("2001:db8::/32"), 6) + random_rules(rng, network("::/0"), 4)
        anonymizer = ipveil.Anonymizer(rng.randbytes(32), policy_text(rules, "special\n"))
        sample = [rng.getrandbits(128) for _ in range(2000)]
        for _, prefix in rules:
            sample += [int(prefix.network_address) | rng.getrandbits(128 - prefix.prefixlen) for _ in range(100)]
        rows = np.frombuffer(b"".join(v.to_bytes(16, "big") for v in sample), dtype=np.uint8).reshape(-1, 16)
        images = anonymizer.anonymize(rows)
        assert np.array_equal(anonymizer.deanonymize(images), rows)
        mapped = [int.from_bytes(row.tobytes(), "big") for row in images]
        for (action, prefix) in rules:
            for value, image in zip(sample, mapped):
                if ipaddress.IPv6Address(value) in prefix:
                    assert image == value if action == "keep" else ipaddress.IPv6Address(image) in prefix
        for i in range(len(sample) - 1):
            j = rng.randrange(len(sample))
            assert (sample[i] ^ sample[j]).bit_length() == (mapped[i] ^ mapped[j]).bit_length()


@pytest.mark.parametrize("block", ["0.0.0.0/8", "10.0.0.0/8", "100.64.0.0/10", "127.0.0.0/8", "169.254.0.0/16",
                                   "172.16.0.0/12", "192.168.0.0/16", "192.0.2.0/24", "198.18.0.0/15", "224.0.0.0/4",
                                   "240.0.0.0/4", "::ffff:0:0/96", "64:ff9b::/96", "2001:db8::/32", "2002::/16",
                                   "fc00::/7", "fe80::/10", "ff00::/16", "ff02::/16", "ff0e::/16", "ff35::/16"])
def test_special_keeps_each_block_and_its_multicast_scope(block):
    rng = random.Random(block)
    prefix = network(block)
    key = rng.randbytes(32)
    anonymizer = ipveil.Anonymizer(key, "special")
    bits = prefix.max_prefixlen - prefix.prefixlen
    originals = [str(prefix.network_address + rng.getrandbits(bits)) for _ in range(200)]
    images = [int(ipaddress.ip_address(image)) for image in anonymizer.anonymize(originals)]
    assert all(ipaddress.ip_address(image) in prefix for image in images)
    if block not in ("0.0.0.0/8", "240.0.0.0/4"):  # no address of the table is kept inside
        # Below the block's bits, the flips are those of the mapping without a policy.
        plain = [int(ipaddress.ip_address(image)) for image in ipveil.Anonymizer(key).anonymize(originals)]
        low = (1 << bits) - 1
        assert [image & low for image in images] == [image & low for image in plain]
    kept = ["0.0.0.0", "255.255.255.255", "::", "::1"]
    assert anonymizer.anonymize(kept) == kept


def test_no_policy_gives_todays_images(default_digits):
    rng = random.Random(4)
    texts = [str(ipaddress.IPv4Address(rng.getrandbits(32))) for _ in range(500)]
    texts += [str(ipaddress.IPv6Address(rng.getrandbits(128))) for _ in range(500)]
    plain = ipveil.Anonymizer(default_digits)
    for policy in (None, "", "# nothing to rule\n\n   \n"):
        same = ipveil.Anonymizer(default_digits, policy)
        assert same.anonymize(texts) == plain.anonymize(texts)
        assert same.key_id == plain.key_id and same.policy == ""


def test_truncation_zeroes_the_low_bits_and_cannot_be_turned_back(default_digits):
    rng = random.Random(5)
    ints = np.array([rng.getrandbits(32) for _ in range(1000)], dtype=np.uint32)
    rows = np.frombuffer(rng.randbytes(16 * 300), dtype=np.uint8).reshape(-1, 16)
    plain = ipveil.Anonymizer(default_digits)
    cut = ipveil.Anonymizer(default_digits, "truncate4 20\ntruncate6 52")
    assert np.array_equal(cut.anonymize(ints), plain.anonymize(ints) & np.uint32(0xFFFFF000))
    images6 = plain.anonymize(rows).copy()
    images6[:, 6] &= 0xF0
    images6[:, 7:] = 0
    assert np.array_equal(cut.anonymize(rows), images6)
    for call in (lambda: cut.deanonymize(ints), lambda: cut.deanonymize("10.0.0.0"),
                 lambda: cut.rekey(plain, ["10.0.0.0"])):
        with pytest.raises(ValueError, match=r"policy truncates its images \(truncate4 20, truncate6 52\)"):
            call()
    assert cut.deanonymize_mac(cut.anonymize_mac("00:1a:2b:3c:4d:5e")) == "00:1a:2b:3c:4d:5e"


def same(x, y):
    if isinstance(x, (pd.Series, pd.Index)):
        return type(x) is type(y) and x.equals(y) and x.dtype == y.dtype
    if isinstance(x, np.ndarray):
        return type(y) is np.ndarray and x.dtype == y.dtype and np.array_equal(x, y)
    return type(x) is type(y) and x == y


def test_rekey_is_deanonymize_then_anonymize_on_every_kind():
    rng = random.Random(6)
    key_a = rng.randbytes(32)
    a = ipveil.Anonymizer(key_a, "special\npreserve 203.0.0.0/8\nkeep 198.51.100.0/24")
    b = ipveil.Anonymizer(rng.randbytes(32).hex(), "only 10.0.0.0/8\nonly 2001:db8::/32\ntruncate4 24")
    texts = ["10.1.2.3", "192.168.1.1", "198.51.100.7", "203.0.113.9", "8.8.8.8", "2001:db8::1", "ff02::fb", "::1"]
    texts += [str(ipaddress.ip_address(rng.getrandbits(bits))) for bits in (32, 128) * 50]
    images = a.anonymize(texts)
    assert a.rekey(b, images) == b.anonymize(texts)
    assert a.rekey(a, images) == images

    ints = np.array([rng.getrandbits(32) for _ in range(300)], dtype=np.uint32)
    kinds = [images[0], int(ipaddress.ip_address(images[0])), np.uint32(7), ipaddress.ip_address(images[0]),
             ipaddress.ip_address(images[5]), ints, ints.reshape(20, 15)[:, ::2],
             np.frombuffer(rng.randbytes(16 * 40), dtype=np.uint8).reshape(-1, 16), np.array(images, dtype=object),
             np.array(images), images, tuple(images), collections.deque(images), pd.Series(images, name="src"),
             pd.Index(images, name="i"), pd.Series(images + [None]).astype("category"),
             pd.Series(ints, index=range(5, 305))]
    for value in kinds:
        assert same(a.rekey(b, value), b.anonymize(a.deanonymize(value))), type(value)

    macs = ["00:1a:2b:3c:4d:5e", "01:00:5e:00:00:fb", "ff:ff:ff:ff:ff:ff"] + [rng.randbytes(6).hex() for _ in range(50)]
    assert a.rekey_mac(b, a.anonymize_mac(macs)) == b.anonymize_mac(macs)
    octets = np.frombuffer(rng.randbytes(60), dtype=np.uint8).reshape(-1, 6)
    assert np.array_equal(a.rekey_mac(b, octets), b.anonymize_mac(a.deanonymize_mac(octets)))
    # The policy is the addresses' alone.
    assert a.anonymize_mac(macs) == ipveil.Anonymizer(key_a).anonymize_mac(macs)

    for other in (None, "key", b.anonymize):
        with pytest.raises(TypeError, match="another ipveil.Anonymizer"):
            a.rekey(other, images)


@pytest.mark.parametrize("text, line, message", [
    ("preserve 10.0.0.1/8", 1, "has bits set below its length"),
    ("special\n\npreserve 10.0.0.0/33", 3, "prefix length"),
    ("keep 10.0.0.0/8\n# the private block\npreserve 10.0.0.0/8", 3, "contradicts line 1"),
    ("truncate4 24\ntruncate4 16", 2, "contradicts line 1"),
    ("special\nfrobnicate 10.0.0.0/8", 2, "unknown rule"),
    ("preserve", 1, "needs a prefix"),
    ("truncate6 129", 1, "from 0 to 128"),
    ("keep 2001:db8::/32 2001:db9::/32", 1, "takes one prefix"),
])
def test_a_malformed_policy_names_its_line(tmp_path, default_digits, text, line, message):
    with pytest.raises(ValueError, match=f"^The policy line {line}: .*{message}"):
        ipveil.Anonymizer(default_digits, text)
    key = tmp_path / "key"
    key.write_text(default_digits)
    key.chmod(0o600)
    with pytest.raises(ValueError, match=f"^The policy line {line}: "):
        ipveil.Anonymizer.from_key_file(key, policy=text)


def test_policy_given_by_name_and_from_a_key_file(tmp_path, default_digits):
    key = tmp_path / "key"
    key.write_text(default_digits + "\n")
    key.chmod(0o600)
    texts = ["10.1.2.3", "224.0.0.251", "2001:db8::5", "ff02::1:3"]
    reference = ipveil.Anonymizer(default_digits, "special")
    for made in (ipveil.Anonymizer(key=default_digits, policy="special"), ipveil.Anonymizer(default_digits, "special"),
                 ipveil.Anonymizer.from_key_file(key, "special"),
                 ipveil.Anonymizer.from_key_file(key, policy="special")):
        assert made.anonymize(texts) == reference.anonymize(texts) and made.key_id == reference.key_id
    assert "and a policy, key id " + reference.key_id in repr(reference)
    for policy in (b"special", 1, ["special"]):
        with pytest.raises(TypeError, match="A policy is a str"):
            ipveil.Anonymizer(default_digits, policy)


def test_key_id_is_the_hash_of_the_key_and_the_policy(default_digits):
    key = bytes.fromhex(default_digits)
    messy = "# release 2026\npreserve 10.0.0.0/8\n\nspecial   # the IANA blocks\npreserve 10.0.0.0/8\n"
    a = ipveil.Anonymizer(key, messy)
    assert a.policy == "special\npreserve 10.0.0.0/8\n"
    assert a.key_id == ipveil.Anonymizer(default_digits.upper(), "special\npreserve 10.0.0.0/8").key_id
    rng = random.Random(7)
    ids = set()
    for made_key in (key, rng.randbytes(32), rng.randbytes(32)):
        for policy in (None, "special", "special\npreserve 10.0.0.0/8", "truncate4 24", "keep 10.0.0.0/8"):
            made = ipveil.Anonymizer(made_key, policy)
            # Independently: SHA-256 (OpenSSL's, through hashlib) of the domain, the key and the canonical policy.
            expected = hashlib.sha256(b"ipveil key id 1\0" + made_key + made.policy.encode()).hexdigest()[:16]
            assert made.key_id == expected
            ids.add(made.key_id)
    assert len(ids) == 15


def read_capture(path):
    """The frames of a pcap or pcapng file (enhanced packet blocks)."""
    data = open(path, "rb").read()
    if data[:4] != b"\x0a\x0d\x0d\x0a":
        return read_pcap(path)
    order = "<" if data[8:12] == b"\x4d\x3c\x2b\x1a" else ">"
    frames, at = [], 0
    while at < len(data):
        kind, length = struct.unpack(order + "II", data[at:at + 8])
        if kind == 6:
            captured = struct.unpack(order + "I", data[at + 20:at + 24])[0]
            frames.append(data[at + 28:at + 28 + captured])
        at += length
    return frames


def checksum(data):
    total = sum(struct.unpack(f"!{len(data) // 2}H", data + b"\0" * (len(data) % 2)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def udp_frame(source, destination, macs):
    """An Ethernet IPv4 or IPv6 UDP frame between two addresses, its checksums right."""
    payload = b"ping"
    udp = struct.pack("!HHHH", 40000, 9, 8 + len(payload), 0) + payload
    if source.version == 4:
        pseudo = source.packed + destination.packed + struct.pack("!BBH", 0, 17, len(udp))
        udp = udp[:6] + struct.pack("!H", checksum(pseudo + udp) or 0xFFFF) + udp[8:]
        header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0, source.packed,
                             destination.packed)
        header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
        return macs + b"\x08\x00" + header + udp
    pseudo = source.packed + destination.packed + struct.pack("!IxxxB", len(udp), 17)
    udp = udp[:6] + struct.pack("!H", checksum(pseudo + udp) or 0xFFFF) + udp[8:]
    header = struct.pack("!IHBB16s16s", 6 << 28, len(udp), 17, 64, source.packed, destination.packed)
    return macs + b"\x86\xdd" + header + udp


def frame_addresses(frame):
    if frame[12:14] == b"\x08\x00":
        return [ipaddress.IPv4Address(frame[26:30]), ipaddress.IPv4Address(frame[30:34])]
    return [ipaddress.IPv6Address(frame[22:38]), ipaddress.IPv6Address(frame[38:54])]


@pytest.mark.parametrize("policy", ["special\npreserve 203.0.113.0/24\nkeep 198.51.100.0/25\npreserve 2001:db8:7::/48",
                                    "only 10.0.0.0/8\nonly fd00::/8\ntruncate4 24\ntruncate6 64"])
def test_ipveil_pcap_writes_the_modules_images(tmp_path, policy):
    command = os.environ["IPVEIL_PCAP_COMMAND"]
    usage = subprocess.run([command, "--help"], capture_output=True, text=True).stdout
    if "--policy" not in usage or "--key-file" not in usage:
        pytest.skip("this ipveil-pcap takes no --key-file and --policy")
    rng = random.Random(8)
    key, new_key, policy_file = tmp_path / "key", tmp_path / "new-key", tmp_path / "policy"
    for path, contents in ((key, rng.randbytes(32).hex()), (new_key, rng.randbytes(32).hex() + "\n"),
                           (policy_file, policy)):
        path.write_text(contents)
        path.chmod(0o600)
    blocks = ["10.0.0.0/8", "192.168.0.0/16", "224.0.0.0/4", "127.0.0.0/8", "203.0.113.0/24", "198.51.100.0/24",
              "0.0.0.0/0", "fe80::/10", "ff02::/16", "2001:db8:7::/48", "fd00::/8", "::/0"]
    frames, originals = [], []
    for n in range(400):
        prefix = network(blocks[n % len(blocks)])
        pair = [prefix.network_address + rng.getrandbits(prefix.max_prefixlen - prefix.prefixlen) for _ in range(2)]
        if n % 50 == 0:
            pair[1] = ipaddress.ip_address("255.255.255.255" if prefix.version == 4 else "::1")
        frames.append(udp_frame(*pair, rng.randbytes(12)))
        originals += pair
    write_pcap(tmp_path / "in.pcap", frames)
    subprocess.run([command, "--key-file", str(key), "--policy", str(policy_file), str(tmp_path / "in.pcap"),
                    str(tmp_path / "out.pcap")], check=True, capture_output=True)
    written = read_capture(tmp_path / "out.pcap")
    anonymizer = ipveil.Anonymizer.from_key_file(key, policy)
    images = [address for frame in written for address in frame_addresses(frame)]
    assert images == [anonymizer.anonymize(address) for address in originals]

    if "--print-key-id" in usage:
        shown = subprocess.run([command, "--key-file", str(key), "--policy", str(policy_file), "--print-key-id"],
                               check=True, capture_output=True, text=True).stdout
        assert anonymizer.key_id in shown
    if "--rekey" in usage and "truncate" not in policy:
        subprocess.run([command, "--key-file", str(key), "--policy", str(policy_file), "--rekey", str(new_key),
                        str(tmp_path / "out.pcap"), str(tmp_path / "rekeyed.pcap")], check=True, capture_output=True)
        rekeyed = read_capture(tmp_path / "rekeyed.pcap")
        renewed = ipveil.Anonymizer.from_key_file(new_key, policy)
        assert [a for frame in rekeyed for a in frame_addresses(frame)] == [renewed.anonymize(a) for a in originals]
        macs = [frame[i:i + 6].hex() for frame in written for i in (0, 6)]
        assert [frame[i:i + 6].hex() for frame in rekeyed for i in (0, 6)] == [
            m.replace(":", "") for m in anonymizer.rekey_mac(renewed, macs)]
