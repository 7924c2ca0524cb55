"""How much of each save budget the least possible work already takes.

Three save goals are set against peers: set_value of the 24 MB tree at 0.5x orjson.dumps, the
TOML save of the 20 MB file at half of rtoml.dumps plus a write, and the JSON5 save of the deep
shape at a fiftieth of json5.dumps (in our layout) plus a write. Each is compared here with
floors that any engine which keeps a copy of the data must pay: reading every object of the
input once (floor_walk.c, compiled on the spot) and writing the saved text to a file. Beside
them: that read plus the smallest copying tree in blocks of the interpreter's allocator and its
release, a floor for trees kept in such blocks only (the engine's chunk memory goes below it).
All on tmpfs, side by side in one run.
"""

import os
import subprocess
import sys
import sysconfig
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, scratch_folder, settings_data, text_save  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402

try:
    import bench_json5
    import bench_toml
    import orjson
    import rtoml
except ImportError as missing:
    sys.exit(f"bench_floor.py needs the peers in bench/requirements.txt ({missing.name} is missing)")


def build_walker(folder):
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor_walk.c")
    target = os.path.join(folder, "floor_walk" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    subprocess.run([*compiler, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                    source, "-o", target], check=True)
    sys.path.insert(0, folder)
    import floor_walk
    return floor_walk.walk


def write_only(text, path):
    """The last step of any save: the finished text into a new file, swapped in."""
    def run():
        with open(path + ".new", "wb") as f:
            f.write(text)
        os.replace(path + ".new", path)
    return run


def report(title, budget, ours, walk, tree, write=0.0):
    print(f"== {title}")
    print(f"   {'allowed by the goal':<42}{budget * 1e3:8.2f} ms")
    print(f"   {'ours':<42}{ours * 1e3:8.2f} ms   {ours / budget:5.2f}x the allowance")
    for name, floor in (("read every object", walk), ("read + smallest PyMem tree + free", tree)):
        if write:
            name += " + write"
        total = floor + write
        print(f"   {'floor: ' + name:<42}{total * 1e3:8.2f} ms   {total / budget:5.2f}x the allowance")
    sys.stdout.flush()


def main():
    with scratch_folder() as folder, tempfile.TemporaryDirectory() as build:
        walk = build_walker(build)
        # All data is made first, each set in fresh memory: objects scattered over the freed
        # blocks of an earlier set are slower to walk, for anyone.
        deep = bench_json5.SHAPES["deep"]()
        wide = bench_toml.without_none(settings_data(20_000_000))
        data = settings_data(24_000_000)
        engine = OrnSettingEngine("floor", "memory")
        dumps = best_of(lambda: orjson.dumps(data))
        report("set_value('root', 24 MB mixed) against 0.5x orjson.dumps", dumps / 2,
               best_of(lambda: engine.set_value("root", data)),
               best_of(lambda: walk(data, False)), best_of(lambda: walk(data, True)))
        del engine, data

        for fmt, data, budget_of in (
            ("toml", wide,
             lambda data, path: best_of(text_save(rtoml.dumps, data, path)) / 2),
            ("json5", deep,
             lambda data, path: best_of(text_save(bench_json5.json5_layout, data, path), repeat=1,
                                        warm=False) / 50),
        ):
            path = os.path.join(folder, f"floor.{fmt}")
            runs = iter(range(1_000_000))

            def save():
                engine = OrnSettingEngine(f"{path}.{next(runs)}", fmt)
                for key, value in data.items():
                    engine.set_value(key, value)
                engine.sync()

            read, tree = best_of(lambda: walk(data, False)), best_of(lambda: walk(data, True))
            ours = best_of(save)
            with open(f"{path}.0", "rb") as f:
                text = f.read()
            write = best_of(write_only(text, path + ".write"))
            label = "TOML save of the 20 MB file against rtoml.dumps + write / 2" if fmt == "toml" else \
                "JSON5 save of the deep shape against json5.dumps + write / 50"
            report(label, budget_of(data, path + ".peer"), ours, read, tree, write)
            for name in os.listdir(folder):
                os.remove(os.path.join(folder, name))


if __name__ == "__main__":
    main()
