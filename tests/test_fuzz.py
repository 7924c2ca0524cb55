"""Runs each fuzz target for a few seconds under AddressSanitizer and UndefinedBehaviorSanitizer."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "fuzz"
TARGETS = sorted(p.stem for p in (ROOT / "tests" / "fuzz").glob("fuzz_*.cpp"))
SECONDS = int(os.environ.get("ORN_FUZZ_SECONDS", "6"))


@pytest.fixture(scope="module")
def fuzz_build():
    clang = shutil.which("clang++")
    tool = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if not clang or not tool:
        pytest.skip("clang++ with libFuzzer is needed to fuzz")
    configure = subprocess.run(
        [tool, "-S", str(ROOT), "-B", str(BUILD), f"-DCMAKE_CXX_COMPILER={clang}",
         "-DORN_BUILD_EXTENSION=OFF", "-DORN_BUILD_NATIVE_TESTS=ON", "-DORN_FUZZ=ON",
         "-DORN_SANITIZE=ON", "-DORN_WERROR=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
        capture_output=True, text=True,
    )
    assert configure.returncode == 0, configure.stdout[-3000:] + configure.stderr[-3000:]
    return tool


@pytest.mark.parametrize("target", TARGETS)
def test_fuzz_target(fuzz_build, target, tmp_path):
    build = subprocess.run([fuzz_build, "--build", str(BUILD), "--target", target, "-j2"],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]
    seeds = ROOT / "tests" / "fuzz" / "corpus" / target.removeprefix("fuzz_")
    run = subprocess.run(
        [str(BUILD / target), f"-max_total_time={SECONDS}", "-timeout=10", "-rss_limit_mb=2048",
         f"-artifact_prefix={tmp_path}/", str(tmp_path), str(seeds)],
        capture_output=True, text=True,
    )
    assert run.returncode == 0, run.stderr[-6000:]
