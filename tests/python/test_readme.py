"""The README's pandas example, run as written on CSVs of flows, against ipveil on the same addresses; the commands
its library section lists against those installed, and its PATH for the source tree against the commands the recipes
call."""
import csv
import io
import os
import re
import subprocess
import sys

import pandas as pd
import pytest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def readme_python_blocks():
    text = open(README).read()
    section = text[text.index("## Python:"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def run_example(tmp_path, default_digits):
    """The README's example, run as written in tmp_path with a HOME whose key file holds the default key."""
    (example,) = readme_python_blocks()
    home = tmp_path / "home"
    (home / ".config" / "ipveil").mkdir(parents=True)
    key = home / ".config" / "ipveil" / "key"
    key.write_text(default_digits + "\n")
    key.chmod(0o600)
    env = {k: v for k, v in os.environ.items() if k != "HOME"}
    subprocess.run([sys.executable, "-c", example], cwd=tmp_path, env={**env, "HOME": str(home)}, check=True)


def test_pandas_example_maps_the_address_columns_and_keeps_the_rest(tmp_path, default_digits, command):
    flows = pd.DataFrame({"start": [0.5, 1.25, 2.0], "src": ["10.0.0.1", "2001:db8::1", "192.168.7.9"],
                          "dst": ["8.8.8.8", "2001:db8::53", "10.0.0.1"], "sport": [5353, 443, 80],
                          "bytes": [60, 1500, 40]})
    flows.to_csv(tmp_path / "flows.csv", index=False)
    run_example(tmp_path, default_digits)

    out = pd.read_csv(tmp_path / "flows-anonymized.csv")
    assert out["src"].tolist() == command(flows["src"].tolist())
    assert out["dst"].tolist() == command(flows["dst"].tolist())
    assert out.drop(columns=["src", "dst"]).equals(flows.drop(columns=["src", "dst"]))


def test_pandas_example_keeps_every_other_cell_as_written(tmp_path, default_digits, command):
    # Blanks in integer columns (pandas' default reading makes floats of them: 60 would come back 60.0), times
    # with trailing zeros, cells pandas reads as missing by default, quoted separators.
    text = ("start,src,dst,sport,bytes,note\n"
            "0.50,10.0.0.1,8.8.8.8,5353,60,\n"
            "1.250,2001:db8::1,2001:DB8::53,,1500,\"a, b\"\n"
            "2,192.168.7.9,10.0.0.1,080,,NA\n"
            "3.0e0,10.0.0.2,10.0.0.3,443,1,null\n")
    (tmp_path / "flows.csv").write_text(text)
    run_example(tmp_path, default_digits)

    rows = list(csv.reader(io.StringIO(text)))
    out = list(csv.reader(open(tmp_path / "flows-anonymized.csv", newline="")))
    assert out[0] == rows[0] and len(out) == len(rows)
    for column, name in enumerate(rows[0]):
        cells = [row[column] for row in rows[1:]]
        written = [row[column] for row in out[1:]]
        assert written == (command(cells) if name in ("src", "dst") else cells), name


@pytest.mark.parametrize("blank", ["", None])
def test_missing_values_recipe(anonymizer, blank):
    flows = pd.DataFrame({"src": ["10.0.0.1", blank, "::1"]})
    has = flows.src != "" if blank == "" else flows.src.notna()
    flows.loc[has, "src"] = anonymizer.anonymize(flows.src[has])
    assert flows.src.tolist()[0] == anonymizer.anonymize("10.0.0.1") and flows.src[1] is blank
    assert flows.src.tolist()[2] == anonymizer.anonymize("::1")


def readme_section(title):
    text = open(README).read()
    section = text[text.index("## " + title):]
    return section[:section.index("\n## ", 1)]


def test_library_section_names_every_installed_command(tmp_path):
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["IPVEIL_BUILD_DIR"], "--prefix",
                    str(tmp_path)], check=True, capture_output=True)
    commands = sorted(os.listdir(tmp_path / "bin"))
    assert "ipveil-pcap" in commands
    listed = readme_section("The library")
    assert [c for c in commands if f"`bin/{c}`" not in listed] == []


def test_source_tree_path_finds_every_command_the_recipes_call(tmp_path):
    """The README's PATH for one shell in the source tree, with this build tree for build/default."""
    (line,) = re.findall(r"`(export PATH=\$PWD/build/default[^`]*)`", readme_section("Using it"))
    source = os.path.abspath(os.path.join(os.path.dirname(README)))
    (tmp_path / "build").mkdir()
    (tmp_path / "build" / "default").symlink_to(os.environ["IPVEIL_BUILD_DIR"])
    (tmp_path / "contrib").symlink_to(os.path.join(source, "contrib"))
    found = subprocess.run(["bash", "-c", line.replace("$PATH", "/usr/bin:/bin") + "; for c in ipveil ipveil-reveal "
                            "ipveil-pcap ipveil-parallel pcap-to-trace; do type -P $c || echo missing $c; done"],
                           cwd=tmp_path, env={"PWD": str(tmp_path)}, check=True, capture_output=True, text=True)
    assert "missing" not in found.stdout
