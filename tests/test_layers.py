"""The pure C++ core (engine, formats, the file layer) never reaches Python.h, directly or
through another header: one static library serves the extension, the native tests and the
fuzzers."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
PURE = sorted([*SRC.glob("engine/*.[ch]pp"), *SRC.glob("formats/*.[ch]pp"), *SRC.glob("drivers/files.[ch]pp")])


def includes(path):
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


def python_chain(path):
    """The chain of includes from path to Python.h, or None."""
    seen = set()
    pending = [(path, [path.relative_to(SRC).as_posix()])]
    while pending:
        current, chain = pending.pop()
        for quote, name in includes(current):
            if Path(name).name == "Python.h":
                return chain + [name]
            # Project headers are named from src/; anything else is a system header.
            target = SRC / name
            if quote == '"' and target.is_file() and target not in seen:
                seen.add(target)
                pending.append((target, chain + [name]))
    return None


def test_the_scan_covers_the_core():
    names = {p.relative_to(SRC).as_posix() for p in PURE}
    assert {"engine/result.hpp", "formats/json.cpp", "formats/format_table.hpp", "drivers/files.cpp"} <= names


@pytest.mark.parametrize("path", PURE, ids=lambda p: p.relative_to(SRC).as_posix())
def test_no_python_header(path):
    assert python_chain(path) is None


def test_the_scan_finds_an_indirect_include():
    # drivers.hpp is the binding side of driver selection and includes Python.h itself.
    chain = python_chain(SRC / "drivers" / "drivers.cpp")
    assert chain is not None and chain[-1] == "Python.h"
