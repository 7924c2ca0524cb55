"""The installed type stub against the built module (stubtest), and a typed example that uses every
member checked with mypy --strict and pyright."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import _orn_core

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "typed_usage.py"
INSTALLED = Path(_orn_core.__file__).with_name("_orn_core.pyi")

# Calls that the stub must refuse: if a checker accepts them, it did not see the stub.
MISUSE = """\
from _orn_core import OrnSettingEngine

engine = OrnSettingEngine("x.json")
engine.value(1)
engine.begin_group()
width: str = engine.status()
engine.path = "y"
"""


@pytest.fixture
def stub_path(tmp_path):
    """A folder holding only the installed stub: mypy skips single-file modules in site-packages."""
    folder = tmp_path / "stubs"
    folder.mkdir()
    shutil.copy(INSTALLED, folder)
    return folder


def tool(name, *args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", name, *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def pyright(*args, cwd):
    command = Path(sys.executable).with_name("pyright")
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # no look-up of newer versions
    return subprocess.run([str(command), "--pythonpath", sys.executable, *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=300)


def test_the_installed_stub_is_the_shipped_one():
    assert INSTALLED.read_text() == (ROOT / "stubs" / "_orn_core.pyi").read_text()


def test_stubtest_is_clean(tmp_path, stub_path):
    run = tool("mypy.stubtest", "_orn_core", cwd=tmp_path, env=dict(os.environ, MYPYPATH=str(stub_path)))
    assert run.returncode == 0, run.stdout + run.stderr


def test_the_example_runs(tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLE)], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
class TestCheckers:
    def check(self, checker, path, tmp_path, stub_path):
        if checker == "mypy":
            return tool("mypy", "--strict", "--no-incremental", path, cwd=tmp_path,
                        env=dict(os.environ, MYPYPATH=str(stub_path)))
        return pyright(path, cwd=tmp_path)

    def test_the_example_passes(self, checker, tmp_path, stub_path):
        run = self.check(checker, EXAMPLE, tmp_path, stub_path)
        assert run.returncode == 0, run.stdout + run.stderr

    def test_misuse_is_caught(self, checker, tmp_path, stub_path):
        (tmp_path / "misuse.py").write_text(MISUSE)
        run = self.check(checker, tmp_path / "misuse.py", tmp_path, stub_path)
        assert run.returncode == 1, run.stdout + run.stderr
        lines = [line for line in run.stdout.splitlines() if "misuse.py:" in line and "error" in line]
        assert sorted({int(line.split(":")[1]) for line in lines}) == [4, 5, 6, 7], run.stdout
