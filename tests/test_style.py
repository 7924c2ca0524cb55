"""The C++ sources keep the house format (.clang-format); CI fails on any difference."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_clang_format_clean():
    tool = shutil.which("clang-format", path=os.path.dirname(sys.executable)) or shutil.which("clang-format")
    if not tool:
        pytest.skip("clang-format is not installed")
    sources = sorted(str(p) for d in ("src", "tests") for p in (ROOT / d).rglob("*") if p.suffix in (".cpp", ".hpp"))
    run = subprocess.run([tool, "--dry-run", "-Werror", *sources], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-4000:]
