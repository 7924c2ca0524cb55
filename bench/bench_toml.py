"""Loading and saving TOML settings files against rtoml, tomllib and tomli_w, side by side.

Load is construct + value('') against reading the file + loads; save is set_value + sync (the
text, the file, its flush and rename) against dumps + writing its text to a file, in the same
folder on tmpfs, as the JSON and JSON5 benchmarks do.
"""

import os
import random
import sys
import tomllib

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, record, scratch_folder, settings_data, text_save  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402

try:
    import rtoml
    import tomli_w
except ImportError as missing:
    sys.exit(f"bench_toml.py needs the benchmark peers: pip install -r bench/requirements.txt ({missing})")


def without_none(value):
    if isinstance(value, dict):
        return {k: without_none(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [without_none(v) for v in value if v is not None]
    return value


def sized(make, target):
    """Tables from make(rng, i) under the root until their repr reaches target bytes."""
    rng = random.Random(11)
    root, size, i = {}, 0, 0
    while size < target:
        table = make(rng, i)
        root[f"t{i:06d}"] = table
        size += len(repr(table))
        i += 1
    return root


def keys_heavy(rng, i):
    return {f"key_{j}": rng.randint(0, 999) for j in range(20)}


def floats(rng, i):
    return {"ratio": rng.uniform(-1e6, 1e6), "samples": [rng.random() * 10 ** rng.randint(-5, 5) for _ in range(8)]}


def strings(rng, i):
    text = "abcdefghijklmnopqrstuvwxyz é'\"/\\"
    return {name: "".join(rng.choice(text) for _ in range(rng.randint(5, 40))) for name in ("title", "path", "note")}


def deep(rng, i):
    node = {"leaf": rng.randint(0, 100)}
    for level in range(6):
        node = {f"level{level}": node, "n": level}
    return node


SHAPES = [
    ("keys 1 MB", lambda: sized(keys_heavy, 1_000_000)),
    ("floats 1 MB", lambda: sized(floats, 1_000_000)),
    ("strings 1 MB", lambda: sized(strings, 1_000_000)),
    ("deep 1 MB", lambda: sized(deep, 1_000_000)),
    ("mixed 1 MB", lambda: without_none(settings_data(1_000_000))),
    ("mixed 20 MB", lambda: without_none(settings_data(20_000_000))),
]


def measure(folder, label, data):
    path = os.path.join(folder, f"settings-{label.replace(' ', '-')}.toml")
    writer = OrnSettingEngine(path, "toml")
    for key, value in data.items():
        writer.set_value(key, value)
    writer.sync()
    mb = os.path.getsize(path) / 1e6

    def read_text():
        with open(path, encoding="utf-8") as f:
            return f.read()

    kept = []  # freeing a tree is not part of loading it
    ours = best_of(lambda: kept.append(OrnSettingEngine(path, "toml").value("")))
    kept.clear()
    by_rtoml = best_of(lambda: kept.append(rtoml.loads(read_text())))
    kept.clear()
    std = best_of(lambda: kept.append(tomllib.loads(read_text())), repeat=1)
    kept.clear()
    record("TOML", "load", label, "rtoml", by_rtoml / ours)
    record("TOML", "load", label, "tomllib", std / ours)
    print(f"load {label} ({mb:.1f} MB): ours {mb / ours:6.1f} MB/s   x{by_rtoml / ours:5.1f} vs rtoml.loads "
          f"(target 1.5)   x{std / ours:5.1f} vs tomllib.loads (target 10)")

    runs = iter(range(1_000_000))

    def save():
        # A new file of this shape's own: nothing to load first.
        out = os.path.join(folder, f"out-{label.replace(' ', '-')}-{next(runs)}.toml")
        engine = OrnSettingEngine(out, "toml")
        for key, value in data.items():
            engine.set_value(key, value)
        engine.sync()

    peer_path = os.path.join(folder, "peer.toml")
    ours = best_of(save)
    by_rtoml = best_of(text_save(rtoml.dumps, data, peer_path))
    pure = best_of(text_save(tomli_w.dumps, data, peer_path), repeat=1)
    record("TOML", "save", label, "rtoml", by_rtoml / ours)
    record("TOML", "save", label, "tomli_w", pure / ours)
    print(f"save {label} ({mb:.1f} MB): ours {mb / ours:6.1f} MB/s   x{by_rtoml / ours:5.1f} vs rtoml.dumps + write "
          f"(target 2)     x{pure / ours:5.1f} vs tomli_w.dumps + write (target 10)")


def main():
    with scratch_folder() as folder:
        print(f"files in {folder} ({'tmpfs' if folder.startswith('/dev/shm') else 'a disk folder'})")
        for label, make in SHAPES:
            measure(folder, label, make())


if __name__ == "__main__":
    main()
