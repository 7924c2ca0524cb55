"""Builds the native unit tests and the fuzz replayers with CMake and runs them."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "native"


def cmake():
    found = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if not found:
        pytest.skip("cmake is not available")
    return found


@pytest.fixture(scope="module")
def native_build():
    tool = cmake()
    subprocess.run(
        [tool, "-S", str(ROOT), "-B", str(BUILD), "-DORN_BUILD_EXTENSION=OFF",
         "-DORN_BUILD_NATIVE_TESTS=ON", "-DORN_WERROR=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
        check=True, capture_output=True, text=True,
    )
    build = subprocess.run([tool, "--build", str(BUILD), "-j2"], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout[-4000:] + build.stderr[-4000:]
    return BUILD


def test_native_unit_tests(native_build):
    run = subprocess.run([str(native_build / "orn_native_tests")], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("target", sorted(p.stem for p in (ROOT / "tests" / "fuzz").glob("fuzz_*.cpp")))
def test_fuzz_corpus_replays(native_build, target):
    corpus = ROOT / "tests" / "fuzz" / "corpus" / target.removeprefix("fuzz_")
    run = subprocess.run([str(native_build / target), str(corpus)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
