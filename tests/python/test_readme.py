"""The README's pandas example, run as written on a CSV of flows, against ipveil on the same addresses."""
import os
import re
import subprocess
import sys

import pandas as pd

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def readme_python_blocks():
    text = open(README).read()
    section = text[text.index("## Python:"):]
    section = section[:section.index("\n## ", 1)]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_pandas_example_maps_the_address_columns_and_keeps_the_rest(tmp_path, default_digits, command):
    (example,) = readme_python_blocks()
    home = tmp_path / "home"
    (home / ".config" / "ipveil").mkdir(parents=True)
    key = home / ".config" / "ipveil" / "key"
    key.write_text(default_digits + "\n")
    key.chmod(0o600)
    flows = pd.DataFrame({"start": [0.5, 1.25, 2.0], "src": ["10.0.0.1", "2001:db8::1", "192.168.7.9"],
                          "dst": ["8.8.8.8", "2001:db8::53", "10.0.0.1"], "sport": [5353, 443, 80],
                          "bytes": [60, 1500, 40]})
    flows.to_csv(tmp_path / "flows.csv", index=False)
    env = {k: v for k, v in os.environ.items() if k != "HOME"}
    subprocess.run([sys.executable, "-c", example], cwd=tmp_path, env={**env, "HOME": str(home)}, check=True)

    out = pd.read_csv(tmp_path / "flows-anonymized.csv")
    assert out["src"].tolist() == command(flows["src"].tolist())
    assert out["dst"].tolist() == command(flows["dst"].tolist())
    assert out.drop(columns=["src", "dst"]).equals(flows.drop(columns=["src", "dst"]))


def test_missing_values_recipe(anonymizer):
    flows = pd.DataFrame({"src": ["10.0.0.1", None, "::1"]})
    flows.loc[flows.src.notna(), "src"] = anonymizer.anonymize(flows.src.dropna())
    assert flows.src.tolist()[0] == anonymizer.anonymize("10.0.0.1") and pd.isna(flows.src[1])
    assert flows.src.tolist()[2] == anonymizer.anonymize("::1")
