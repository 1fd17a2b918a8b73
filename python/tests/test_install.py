"""The README's install line, offline, on a copy of the package: what it installs, and that
no program it puts on the PATH hides another, the server above all."""

import json
import os
import pathlib
import re
import shutil
import subprocess

PACKAGE = pathlib.Path(__file__).resolve().parents[1]


def test_install_puts_no_program_in_front_of_another(tmp_path):
    shutil.copytree(PACKAGE, tmp_path / "src", ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", tmp_path / "venv"], check=True)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # the installed copy, not the tree
    env["PIP_NO_INDEX"] = "1"
    subprocess.run([tmp_path / "venv/bin/pip", "install", "-q", "--no-build-isolation", tmp_path / "src"],
                   check=True, env=env, cwd=tmp_path)
    probe = """import importlib.metadata as m, json, pathlib, lumerix2
d = m.distribution("lumerix2")
print(json.dumps({"version": d.version, "module": lumerix2.__version__, "file": lumerix2.__file__,
                  "typed": (pathlib.Path(lumerix2.__file__).parent / "py.typed").exists(),
                  "scripts": [e.name for e in d.entry_points if e.group == "console_scripts"]}))"""
    got = json.loads(subprocess.run([tmp_path / "venv/bin/python", "-c", probe], check=True, capture_output=True,
                                    text=True, cwd="/", env=env).stdout)
    source = re.search(r'__version__ = "([^"]+)"', (PACKAGE / "lumerix2/__init__.py").read_text()).group(1)
    assert got["version"] == got["module"] == source
    assert got["typed"] and got["file"].startswith(str(tmp_path / "venv"))
    assert got["scripts"]
    # The project's programs (all in the build's bin/) and whatever the PATH holds.
    programs = set(os.listdir(os.path.dirname(os.environ["LUMERIX2_EXE"])))
    for name in got["scripts"]:
        assert (tmp_path / "venv/bin" / name).exists()
        assert name not in programs and shutil.which(name) is None, name
    run = subprocess.run([tmp_path / "venv/bin" / got["scripts"][0], "--help"], capture_output=True, text=True)
    assert run.returncode == 0 and "snapshot" in run.stdout
