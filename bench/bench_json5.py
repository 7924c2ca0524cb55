"""Loading and saving JSON5 settings files against pyjson5 (Cython) and json5 (pure Python).

Load is construction plus value(''), against reading the file and loads(); save is set_value plus
sync, against dumps() and writing the file (json5 in our layout, pyjson5 compact). Every 1 MB
shape and a 20 MB file, side by side in one run; json5 is timed once per case (it is a hundred
times slower), the others best of three after a warm-up.
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, record, scratch_folder, settings_data, text_save  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402

try:
    import json5
    import pyjson5
except ImportError as missing:
    sys.exit(f"bench_json5.py needs the peers in bench/requirements.txt ({missing.name} is missing): "
             "run `make bench`, or `.venv/bin/pip install -r bench/requirements.txt`")

MB = 1_000_000


def grow(make, target):
    """A mapping of sections made by make(rng, i) until its repr reaches target bytes."""
    rng = random.Random(11)
    root, size, i = {}, 0, 0
    while size < target:
        section = make(rng, i)
        root[f"section_{i:06d}"] = section
        size += len(repr(section))
        i += 1
    return root


def keys_heavy(rng, i):
    return {f"key_{rng.randrange(10**6)}_{j}": j for j in range(20)}


def floats(rng, i):
    return [rng.uniform(-1e6, 1e6) for _ in range(20)]


def strings(rng, i):
    return ["".join(rng.choice("abcdefghij klmnopé'\"\\\n") for _ in range(rng.randint(10, 80)))
            for _ in range(8)]


def deep(rng, i):
    value = rng.randint(0, 1000)
    for level in range(24):  # pyjson5 refuses more than 32 levels
        value = {f"l{level}": value, "n": level} if level % 2 else [value, level]
    return value


SHAPES = {
    "keys-heavy": lambda: grow(keys_heavy, MB),
    "floats": lambda: grow(floats, MB),
    "strings": lambda: grow(strings, MB),
    "deep": lambda: grow(deep, MB),
    "mixed": lambda: settings_data(MB),
}


def json5_layout(data):
    """json5.dumps asked for the layout our writer gives: two-space indentation, sorted bare keys.
    pyjson5 has no such options and writes compact text."""
    return json5.dumps(data, indent=2, sort_keys=True, quote_keys=False)


def file_text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def measure(folder, label, data):
    path = os.path.join(folder, f"{label}.json5")
    runs = iter(range(1_000_000))

    def save():
        # set_value + sync, each run into a new engine and file: nothing to load first.
        run = next(runs)
        out = path if run == 0 else f"{path}.{run}"
        engine = OrnSettingEngine(out, "json5")
        for key, value in data.items():
            engine.set_value(key, value)
        engine.sync()

    save_ours = best_of(save)
    mb = os.path.getsize(path) / MB

    save_pyjson5 = best_of(text_save(pyjson5.dumps, data, path + ".peer"))
    save_json5 = best_of(text_save(json5_layout, data, path + ".peer"), repeat=1, warm=False)

    kept = []  # freeing a tree is not part of loading it
    load_ours = best_of(lambda: kept.append(OrnSettingEngine(path, "json5").value("")))
    kept.clear()
    load_pyjson5 = best_of(lambda: kept.append(pyjson5.loads(file_text(path))))
    kept.clear()
    load_json5 = best_of(lambda: kept.append(json5.loads(file_text(path))), repeat=1, warm=False)
    kept.clear()

    record("JSON5", "load", label, "pyjson5", load_pyjson5 / load_ours)
    record("JSON5", "load", label, "json5", load_json5 / load_ours)
    record("JSON5", "save", label, "pyjson5", save_pyjson5 / save_ours)
    record("JSON5", "save", label, "json5", save_json5 / save_ours)
    print(f"{label:>10} {mb:5.1f} MB  load {mb / load_ours:6.1f} MB/s  "
          f"x{load_pyjson5 / load_ours:5.2f} pyjson5 (>= 1.2)  x{load_json5 / load_ours:6.0f} json5 (>= 100)   "
          f"save {mb / save_ours:6.1f} MB/s  x{save_pyjson5 / save_ours:5.2f} pyjson5 (> 1)  "
          f"x{save_json5 / save_ours:6.0f} json5 (>= 50)")
    sys.stdout.flush()


def main():
    with scratch_folder() as folder:
        print(f"files in {folder} ({'tmpfs' if folder.startswith('/dev/shm') else 'a disk folder'})")
        for label, make in SHAPES.items():
            measure(folder, label, make())
        measure(folder, "20 MB", settings_data(20 * MB))


if __name__ == "__main__":
    main()
