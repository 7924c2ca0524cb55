"""Wide groups: many keys in one group, written, removed and loaded, against plain Python.

Nothing here saves: no figure includes writing or flushing a file.
"""

import json
import os
import random
import sys
import tempfile
import time

from _orn_core import OrnSettingEngine

try:
    import orjson
except ImportError:  # a benchmark peer only: `make bench` installs bench/requirements.txt
    orjson = None

WRITES = 100_000
LOADED = 1_000_000


class DictStore:
    """The same job done with nested dicts in pure Python: the figure to beat."""

    def __init__(self):
        self.root = {}
        self.groups = []

    def begin_group(self, name):
        self.groups.append(name)

    def set_value(self, key, value):
        path = self.groups + [piece for piece in key.split("/") if piece]
        node = self.root
        for name in path[:-1]:
            node = node.setdefault(name, {})
        node[path[-1]] = value

    def remove(self, key):
        path = self.groups + [piece for piece in key.split("/") if piece]
        node = self.root
        for name in path[:-1]:
            node = node.setdefault(name, {})
        node.pop(path[-1], None)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def best_of(make, run, repeat=3):
    """Best time of run(state) over fresh states from make() (not timed); one round warms up."""
    run(make())
    times = []
    for _ in range(repeat):
        state = make()
        times.append(timed(lambda: run(state)))
    return min(times)


def ratio_line(name, ours, theirs, theirs_name, limit, count):
    ratio = ours / theirs
    verdict = "ok" if ratio <= limit else "SLOWER THAN TARGET"
    print(f"{name:<34} {ours * 1e9 / count:8.1f} ns/key   {theirs_name:<18} "
          f"{theirs * 1e9 / count:8.1f} ns/key   x{ratio:5.2f} (target <= {limit}x) {verdict}")


def wide_keys(count, seed):
    """Distinct keys in random order, sharing a long prefix as generated settings keys do."""
    keys = [f"section.option_{i:08d}" for i in range(count)]
    random.Random(seed).shuffle(keys)
    return keys


def writes_and_removes():
    print(f"== {WRITES:,} keys in one group (memory driver)")
    keys = wide_keys(WRITES, 1)
    in_order = sorted(keys, key=str.encode)

    def fresh_engine():
        engine = OrnSettingEngine("bench", "memory")
        engine.begin_group("wide")
        return engine

    def fresh_store():
        store = DictStore()
        store.begin_group("wide")
        return store

    def insert_all(target):
        set_value = target.set_value
        for i, key in enumerate(keys):
            set_value(key, i)
        return target

    ours = best_of(fresh_engine, insert_all)
    theirs = best_of(fresh_store, insert_all)
    ratio_line("set_value, random key order", ours, theirs, "dict store", 3, WRITES)

    def remove_all(target):
        remove = target.remove
        for key in in_order:
            remove(key)

    ours = best_of(lambda: insert_all(fresh_engine()), remove_all)
    theirs = best_of(lambda: insert_all(fresh_store()), remove_all)
    ratio_line("remove, front first", ours, theirs, "dict store", 3, WRITES)


def load(folder):
    print(f"== loading a JSON file with {LOADED:,} keys in one group, in no order")
    if orjson is None:
        print("orjson is not installed: `pip install -r bench/requirements.txt` to compare")
        return
    keys = wide_keys(LOADED, 2)
    path = os.path.join(folder, "wide.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"wide": {key: i for i, key in enumerate(keys)}}, f, indent=2)
    del keys

    kept = []  # freeing a tree is not part of loading it

    def ours():
        kept.append(OrnSettingEngine(path))

    def theirs():
        with open(path, "rb") as f:
            kept.append(orjson.loads(f.read()))

    def best(fn):
        fn()
        kept.clear()
        times = []
        for _ in range(3):
            times.append(timed(fn))
            kept.clear()
        return min(times)

    ratio_line("OrnSettingEngine(path)", best(ours), best(theirs), "orjson.loads", 1.0, LOADED)


def main():
    writes_and_removes()
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="orn-bench-", dir=base) as folder:
        load(folder)


if __name__ == "__main__":
    main()
