"""The repaired wheel (scripts/build_wheel.py, `make wheel`) installed into a fresh virtual
environment and used from another folder."""

import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import zipfile
from pathlib import Path

import pytest

from _orn_core import OrnSettingEngine

ROOT = Path(__file__).resolve().parent.parent
EXTENSION = "_orn_core" + sysconfig.get_config_var("EXT_SUFFIX")
# Libraries every manylinux system provides; anything else the extension needs must come with it.
SYSTEM = {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
          "libpthread.so.0", "libdl.so.2", "librt.so.1"}


def clean_env():
    """The environment without PYTHONPATH and the like, which would reach past the fresh venv."""
    return {name: value for name, value in os.environ.items() if not name.startswith("PYTHON")}


def yaml_missing():
    with tempfile.TemporaryDirectory() as folder:
        engine = OrnSettingEngine(os.path.join(folder, "probe.yaml"), "yaml")
        engine.set_value("a", 1)
        try:
            engine.sync()
        except TypeError as err:
            if "by this build yet" in str(err):
                return str(err)
            raise
    return None


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """(wheel, venv): the wheel built for this interpreter, installed into a new venv."""
    top = tmp_path_factory.mktemp("wheel")
    build = subprocess.run([sys.executable, str(ROOT / "scripts" / "build_wheel.py"), str(top / "dist")],
                           capture_output=True, text=True, timeout=600)
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]
    wheel = Path(build.stdout.strip().splitlines()[-1])
    venv = top / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    install = subprocess.run(
        [sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"), "install", "-q",
         "--disable-pip-version-check", "--no-index", "--no-deps", str(wheel)],
        capture_output=True, text=True, env=clean_env())
    assert install.returncode == 0, install.stderr
    return wheel, venv


def in_venv(venv, code, cwd):
    run = subprocess.run([str(venv / "bin" / "python"), "-c", textwrap.dedent(code)], cwd=cwd,
                         capture_output=True, text=True, env=clean_env())
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_contents(installed):
    wheel, _ = installed
    assert "-manylinux_" in wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        entry_points = archive.read("orn_core-0.1.0.dist-info/entry_points.txt").decode()
    assert {EXTENSION, "_orn_core.pyi", "orn_settings.py"} <= names
    assert "orn-settings = orn_settings:main" in entry_points
    bundled = {name for name in names if name.startswith("orn_core.libs/") and not name.endswith("/")}
    assert all(name.startswith("orn_core.libs/libyaml") for name in bundled), bundled


def test_needs_nothing_beyond_the_system(installed):
    _, venv = installed
    (module,) = venv.glob(f"lib/python*/site-packages/{EXTENSION}")
    ldd = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    assert "not found" not in ldd, ldd
    for line in ldd.splitlines():
        name, _, path = line.strip().partition(" => ")
        if path and name not in SYSTEM:
            assert path.startswith(str(venv)), line


def test_libyaml_comes_with_the_wheel(installed):
    if reason := yaml_missing():
        pytest.skip(f"the extension links libyaml once it reads YAML ({reason})")
    wheel, venv = installed
    with zipfile.ZipFile(wheel) as archive:
        assert any(name.startswith("orn_core.libs/libyaml") for name in archive.namelist())
    (module,) = venv.glob(f"lib/python*/site-packages/{EXTENSION}")
    ldd = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    (line,) = [line for line in ldd.splitlines() if "libyaml" in line]
    assert f"{venv}/lib" in line and "/orn_core.libs/" in line, ldd


@pytest.mark.parametrize("driver", ["json", "yaml"])
def test_round_trip_from_another_folder(installed, tmp_path, driver):
    if driver == "yaml" and (reason := yaml_missing()):
        pytest.skip(reason)
    _, venv = installed
    out = in_venv(venv, f"""
        import _orn_core
        from _orn_core import OrnSettingEngine

        first = OrnSettingEngine("conf/app.{driver}", "{driver}")
        first.set_value("window/size", {{"width": 800, "ratio": 1.5, "title": "é"}})
        first.set_value("list", [True, -0.0, 18446744073709551615])
        first.sync()
        again = OrnSettingEngine("conf/app.{driver}", "{driver}")
        assert again.value("") == first.value(""), again.value("")
        print(_orn_core.__file__)
    """, cwd=tmp_path)
    assert out.startswith(str(venv))
    command = subprocess.run(
        [str(venv / "bin" / "orn-settings"), "get", f"conf/app.{driver}", "window/size/width"],
        cwd=tmp_path, capture_output=True, text=True, env=clean_env())
    assert (command.returncode, command.stdout) == (0, "800\n"), command.stderr
