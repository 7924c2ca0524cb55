"""Loading and saving a 20 MB JSON settings file against the standard library's json."""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, scratch_folder, settings_data  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402


def main():
    with scratch_folder() as folder:
        print(f"files in {folder} ({'tmpfs' if folder.startswith('/dev/shm') else 'a disk folder'})")
        run(folder)


def run(folder):
    data = settings_data(20_000_000)
    # Files that sync wrote list keys sorted; files written by other tools may not.
    for sort_keys in (True, False):
        path = os.path.join(folder, f"settings-{sort_keys}.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2, ensure_ascii=False, sort_keys=sort_keys)
        measure_load(path, "sorted keys" if sort_keys else "unsorted keys")
    del data
    measure_save(folder, path)


def measure_load(path, label):
    mb = os.path.getsize(path) / 1e6

    kept = []  # freeing a tree is not part of loading it
    ours = best_of(lambda: kept.append(OrnSettingEngine(path)))
    kept.clear()

    def std_load():
        with open(path, encoding="utf-8") as f:
            return json.load(f)

    theirs = best_of(lambda: kept.append(std_load()))
    kept.clear()
    print(f"load {mb:.1f} MB, {label}: OrnSettingEngine {mb / ours:7.1f} MB/s   json.load {mb / theirs:7.1f} MB/s   "
          f"x{theirs / ours:4.1f} (targets: >= 300 MB/s, >= 3x)")


def measure_save(folder, path):
    mb = os.path.getsize(path) / 1e6

    def std_load():
        with open(path, encoding="utf-8") as f:
            return json.load(f)

    engine = OrnSettingEngine(path)
    out = os.path.join(folder, "out.json")
    engine_out = OrnSettingEngine(out, "json")
    loaded = std_load()
    for key in engine.child_groups():
        engine_out.set_value(key, loaded[key])
    ours = best_of(engine_out.sync)

    def std_dump():
        with open(os.path.join(folder, "std.json"), "w", encoding="utf-8") as f:
            json.dump(loaded, f, indent=2, ensure_ascii=False)

    theirs = best_of(std_dump)
    # sync flushes the new file and its folder before and after the rename; json.dump flushes
    # nothing. On tmpfs a flush is free, so the figures compare the work, not the disk.
    print(f"save {mb:.1f} MB (sync: complete new file, flushed, renamed over the old): sync {ours * 1e3:7.1f} ms   json.dump(indent=2) {theirs * 1e3:7.1f} ms   "
          f"x{theirs / ours:4.1f} (target >= 3x)")


if __name__ == "__main__":
    main()
