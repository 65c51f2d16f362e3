"""Shared fixtures of the Python module's tests: the module, the public default key, and the ipveil commands of the
same build tree, run on records made of the addresses under test."""
import os
import subprocess

import pytest

import ipveil


def run_command(command, addresses):
    """The addresses, written as records '0 0 ADDRESS', through an ipveil command: the address column of its output."""
    trace = "".join(f"0 0 {address}\n" for address in addresses)
    result = subprocess.run([command, "/dev/stdin"], input=trace.encode(), capture_output=True, check=True)
    return [line.split("\t")[2] for line in result.stdout.decode().splitlines()]


@pytest.fixture(scope="session")
def default_digits():
    return os.environ["IPVEIL_DEFAULT_KEY"]


@pytest.fixture(scope="session")
def anonymizer(default_digits):
    return ipveil.Anonymizer(default_digits)


@pytest.fixture(scope="session")
def command():
    """ipveil of this build tree, which must carry the public default key for its images to be comparable."""
    if os.environ.get("IPVEIL_KEYED") == "ON":
        pytest.skip("this build tree is keyed; its ipveil does not use the default key")
    return lambda addresses: run_command(os.environ["IPVEIL_COMMAND"], addresses)


@pytest.fixture(scope="session")
def reveal_command():
    if os.environ.get("IPVEIL_KEYED") == "ON":
        pytest.skip("this build tree is keyed; its ipveil-reveal does not use the default key")
    return lambda addresses: run_command(os.environ["IPVEIL_REVEAL_COMMAND"], addresses)
