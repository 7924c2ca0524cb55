"""Runs the Python suite once more against a build under AddressSanitizer and UBSan."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "sanitized"


@pytest.mark.skipif(os.environ.get("ORN_SANITIZED") == "1", reason="already inside the sanitized run")
def test_suite_under_sanitizers():
    tool = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    gxx = shutil.which("g++")
    if not tool or not gxx:
        pytest.skip("cmake and g++ are needed")
    libasan, libstdcxx = (
        subprocess.run([gxx, f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()
        for name in ("libasan.so", "libstdc++.so.6"))
    if not os.path.isabs(libasan) or not os.path.isabs(libstdcxx):
        pytest.skip("libasan and libstdc++ are not available")
    for step in (
        [tool, "-S", str(ROOT), "-B", str(BUILD), f"-DPython_EXECUTABLE={sys.executable}",
         "-DORN_SANITIZE=ON", "-DORN_WERROR=ON", "-DCMAKE_BUILD_TYPE=Debug"],
        [tool, "--build", str(BUILD), "-j2", "--target", "_orn_core"],
    ):
        run = subprocess.run(step, capture_output=True, text=True)
        assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    shutil.copy(ROOT / "stubs" / "_orn_core.pyi", BUILD)
    # libstdc++ is preloaded too: the interpreter does not link it, and ASan must find its
    # __cxa_throw at start-up, or the first C++ exception aborts. Failed allocations return null
    # instead of aborting, so MemoryError paths run as they would without the sanitizers. The
    # interpreter's allocator, which trees use too, is told to pass every block to malloc, so
    # that the sanitizer sees each tree block on its own.
    env = dict(os.environ, ORN_SANITIZED="1", PYTHONPATH=str(BUILD), PYTHONMALLOC="malloc",
               LD_PRELOAD=f"{libasan}:{libstdcxx}",
               ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1",
               UBSAN_OPTIONS="print_stacktrace=1")
    tests = [str(p) for p in sorted((ROOT / "tests").glob("test_*.py"))
             if p.stem not in ("test_sanitized", "test_native", "test_fuzz", "test_style",
                               "test_stub", "test_wheel")]
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests],
                         cwd=BUILD, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-3000:]
