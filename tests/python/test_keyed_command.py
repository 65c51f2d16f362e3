"""The module with a key file against ipveil built with that key file: the key tests' scratch keyed build."""
import os
import random

import pytest

import ipveil
from conftest import run_command


def test_key_file_gives_the_keyed_command_images():
    work = os.environ["IPVEIL_KEYED_WORK"]
    command = os.path.join(work, "build", "ipveil")
    key_file = os.path.join(work, "key")
    if not (os.path.exists(command) and os.path.exists(key_file)):
        pytest.skip("no keyed build (the key tests make it)")
    rng = random.Random(7)
    texts = ["%d.%d.%d.%d" % tuple(rng.getrandbits(8) for _ in range(4)) for _ in range(500)]
    texts += [":".join("%x" % rng.getrandbits(16) for _ in range(8)) for _ in range(500)]
    keyed = ipveil.Anonymizer.from_key_file(key_file)
    images = run_command(command, texts)
    assert keyed.anonymize(texts) == images
    assert images != ipveil.Anonymizer(os.environ["IPVEIL_DEFAULT_KEY"]).anonymize(texts)
