"""The README's install command puts the package where the interpreter the module is built for finds it: the user
site for ~/.local, and Debian's dist-packages for /usr/local and /usr (the .deb layout, staged through DESTDIR)."""
import os
import subprocess
import sys

import pytest


def install(prefix, destdir=None):
    env = dict(os.environ)
    if destdir:
        env["DESTDIR"] = str(destdir)
    subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["IPVEIL_BUILD_DIR"], "--component", "python",
                    "--prefix", str(prefix)], check=True, capture_output=True, env=env)


def run_python(code, **env):
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONUSERBASE", "PYTHONNOUSERSITE")}
    clean.update(env)
    return subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=clean).stdout


def test_user_prefix_is_imported_without_a_path(tmp_path):
    home = tmp_path / "home"
    install(home / ".local")
    out = run_python("import ipveil; print(ipveil.__file__); "
                     f"print(ipveil.Anonymizer({os.environ['IPVEIL_DEFAULT_KEY']!r}).anonymize('10.0.0.1'))",
                     HOME=str(home))
    path, image = out.splitlines()
    assert path.startswith(str(home / ".local")) and image == run_python(
        "import ipveil, os; print(ipveil.Anonymizer(os.environ['IPVEIL_DEFAULT_KEY']).anonymize('10.0.0.1'))",
        PYTHONPATH=os.environ["IPVEIL_MODULE_DIR"]).strip()
    for name in ("__init__.pyi", "py.typed", "dask.py"):
        assert os.path.exists(os.path.join(os.path.dirname(path), name))


@pytest.mark.parametrize("prefix", ["/usr/local", "/usr"])
def test_system_prefixes_land_on_the_interpreter_path(tmp_path, prefix):
    install(prefix, destdir=tmp_path)
    found = [os.path.join(root, d) for root, dirs, _ in os.walk(tmp_path) for d in dirs if d == "ipveil"]
    assert len(found) == 1
    site = os.path.dirname(found[0])[len(str(tmp_path)):]
    assert site in run_python("import site, sys; print(site.getsitepackages()); print(sys.path)")
