"""Fixed cost of a method call and speed of reads and writes against plain Python dicts."""

import ctypes
import json
import os
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(__file__))
from common import per_call_ns, settings_data  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


def malloc_in_use():
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def ratio_line(name, ours, theirs, theirs_name, limit):
    ratio = ours / theirs
    verdict = "ok" if ratio <= limit else "SLOWER THAN TARGET"
    print(f"{name:<28} {ours:8.1f} ns   {theirs_name:<22} {theirs:8.1f} ns   x{ratio:4.2f} (target <= {limit}x) {verdict}")


def call_costs():
    print("== fixed cost of a call")
    e = OrnSettingEngine("bench", "memory")
    d = {"a": 1}
    g = {"e": e, "d": d}
    base = per_call_ns("d.get('a')", g)
    ratio_line("engine.status()", per_call_ns("e.status()", g), base, "dict.get", 2)
    ratio_line("engine.file_name()", per_call_ns("e.file_name()", g), base, "dict.get", 2)


def reads_and_writes():
    print("== reads and writes")
    e = OrnSettingEngine("bench", "memory")
    e.set_value("a/b/c", 1)
    d = {"a": {"b": {"c": 1}}}
    g = {"e": e, "d": d}
    ratio_line("value('a/b/c')", per_call_ns("e.value('a/b/c')", g), per_call_ns("d['a']['b']['c']", g), "d['a']['b']['c']", 3)
    ratio_line("set_value('a/b/c', 1)", per_call_ns("e.set_value('a/b/c', 1)", g), per_call_ns("d['a']['b']['c'] = 1", g), "d['a']['b']['c'] = 1", 4)
    ratio_line("contains('a/b/c')", per_call_ns("e.contains('a/b/c')", g), per_call_ns("'c' in d['a']['b']", g), "'c' in d['a']['b']", 3)


def whole_tree():
    print("== whole tree of about 10 MB of JSON")
    data = settings_data(10_000_000)
    text = json.dumps(data)
    e = OrnSettingEngine("bench", "memory")
    before = malloc_in_use()
    e.set_value("root", data)
    tree_bytes = malloc_in_use() - before
    entries = e.all_keys().__len__()
    # Both walk the whole Python tree in C; dumps writes text where set_value builds the tree.
    best_set = min(_timed(lambda: e.set_value("root", data)) for _ in range(3))
    best_dumps = min(_timed(lambda: json.dumps(data)) for _ in range(3))
    print(f"set_value() {best_set * 1e3:8.1f} ms   json.dumps {best_dumps * 1e3:8.1f} ms   "
          f"x{best_dumps / best_set:4.2f} faster ({'ok' if best_set < best_dumps else 'SLOWER THAN TARGET'})")
    del data

    e.value("")  # warm-up of both sides: the allocator's arenas are then of a size for the result
    json.loads(text)
    best_ours = min(_timed(lambda: e.value("")) for _ in range(3))
    best_json = min(_timed(lambda: json.loads(text)) for _ in range(3))
    print(f"value('')   {best_ours * 1e3:8.1f} ms   json.loads {best_json * 1e3:8.1f} ms   "
          f"x{best_json / best_ours:4.2f} faster ({'ok' if best_ours < best_json else 'SLOWER THAN TARGET'})")

    tracemalloc.start()
    objects = json.loads(text)
    py_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del objects
    print(f"memory: tree {tree_bytes / entries:6.1f} B/value   Python objects {py_bytes / entries:6.1f} B/value   "
          f"({entries} values; {'ok' if tree_bytes < py_bytes else 'LARGER THAN TARGET'})")


def _timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


if __name__ == "__main__":
    call_costs()
    reads_and_writes()
    whole_tree()
