"""Python-facing speed against the fastest peers: every figure is a ratio measured side by side.

Loading is compared with orjson and msgspec (file bytes read and decoded), building the Python
objects with marshal.loads of the same data (the floor for making those objects), single calls
with the same access to nested dicts, and set_value of a large dict with orjson.dumps of it.
Peers come from bench/requirements.txt (`make bench` installs them).
"""

import gc
import json
import marshal
import os
import random
import sys
import tempfile
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(__file__))
from common import per_call_ns, record, settings_data  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402

try:
    import msgspec
    import orjson
except ImportError:  # benchmark peers only
    sys.exit("orjson and msgspec are needed: pip install -r bench/requirements.txt")

ROUNDS = int(os.environ.get("ORN_BENCH_ROUNDS", "5"))
BIG_MB = float(os.environ.get("ORN_BENCH_BIG_MB", "24"))


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def side_by_side(fns, rounds=ROUNDS):
    """Best time of each function, the functions taking turns round by round; results are kept
    until the round ends so that freeing them is never timed."""
    best = [float("inf")] * len(fns)
    for fn in fns:
        fn()  # warm-up
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            kept = []
            start = time.perf_counter()
            kept.append(fn())
            best[i] = min(best[i], time.perf_counter() - start)
            del kept
    return best


def verdict(ratio, limit):
    return "ok" if ratio <= limit else "MISSED"


def line(name, ours, theirs, theirs_name, limit, unit="ms", scale=1e3):
    ratio = ours / theirs
    print(f"  {name:<34} {ours * scale:9.2f} {unit}   {theirs_name:<26} {theirs * scale:9.2f} {unit}"
          f"   x{ratio:5.2f}  (goal <= {limit}x) {verdict(ratio, limit)}")
    return ratio


# --- data shapes ---------------------------------------------------------------------------------

def shape_keys(target, rng):
    """Many small groups of distinct-looking keys with small values: key creation dominates."""
    out, size, i = {}, 0, 0
    while size < target:
        group = {f"option_{rng.randrange(10**6):06d}_{j}": j for j in range(20)}
        out[f"group_{i:06d}"] = group
        size += 26 * 20
        i += 1
    return out


def shape_floats(target, rng):
    count = target // 20
    return {"samples": {f"s{i}": [rng.uniform(-1e6, 1e6) for _ in range(1000)]
                        for i in range(max(1, count // 1000))}}


def shape_strings(target, rng):
    letters = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789-_/."
    count = target // 30
    return {"texts": {f"t{i}": ["".join(rng.choice(letters) for _ in range(rng.randint(4, 40)))
                                for _ in range(1000)]
                      for i in range(max(1, count // 1000))}}


def shape_deep(target, rng):
    """Chains of groups 40 levels deep, each level with a few scalars."""
    out, size, i = {}, 0, 0
    while size < target:
        node = {"leaf": rng.random(), "name": "x" * rng.randint(1, 12)}
        for level in range(40):
            node = {"level": level, "enabled": level % 2 == 0, "child": node}
        out[f"chain_{i:05d}"] = node
        size += 40 * 45
        i += 1
    return out


def shape_mixed(target, rng):
    return settings_data(target, seed=rng.randrange(1000))


SHAPES = {"keys": shape_keys, "floats": shape_floats, "strings": shape_strings, "deep": shape_deep,
          "mixed": shape_mixed}


def write_json(folder, name, data):
    path = os.path.join(folder, f"{name}.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=2, ensure_ascii=False, sort_keys=True)
    return path


# --- loading -------------------------------------------------------------------------------------

def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def loading(path, label, goal_construct, goal_total):
    mb = os.path.getsize(path) / 1e6
    decoder = msgspec.json.Decoder()
    engine = OrnSettingEngine(path)
    data = engine.value("")
    blob = marshal.dumps(data)
    del data

    construct, value_all, total, by_orjson, by_msgspec, by_marshal = side_by_side([
        lambda: OrnSettingEngine(path),
        lambda: engine.value(""),
        lambda: OrnSettingEngine(path).value(""),
        lambda: orjson.loads(read_bytes(path)),
        lambda: decoder.decode(read_bytes(path)),
        lambda: marshal.loads(blob),
    ])
    best_peer = min(by_orjson, by_msgspec)
    peer_name = "orjson.loads" if by_orjson <= by_msgspec else "msgspec.json.decode"
    print(f"== {label}: {mb:.1f} MB of JSON")
    ratios = {}
    ratios["construct"] = line("OrnSettingEngine(path)", construct, by_orjson, "orjson.loads(file)",
                               goal_construct)
    ratios["total"] = line("... then value('')", total, best_peer, f"best: {peer_name}", goal_total)
    ratios["value"] = line("value('') alone", value_all, by_marshal, "marshal.loads", 1.2)
    record("JSON", "load", label, "orjson", by_orjson / total)
    record("JSON", "load", label, "msgspec", by_msgspec / total)
    return ratios


def memory_and_sharing(path):
    """Traced bytes of value('')'s result against json.loads's, and how its repeated keys share."""
    engine = OrnSettingEngine(path)
    text = read_bytes(path).decode()
    gc.collect()
    tracemalloc.start()
    ours = engine.value("")
    ours_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del ours
    gc.collect()
    tracemalloc.start()
    theirs = json.loads(text)
    theirs_bytes = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del theirs

    result = engine.value("")
    names, objects, stack = 0, {}, [result]
    while stack:
        node = stack.pop()
        if isinstance(node, dict):
            for key, child in node.items():
                names += 1
                objects.setdefault(key, set()).add(id(key))
                stack.append(child)
        elif isinstance(node, list):
            stack.extend(node)
    repeats = names - len(objects)
    extra = sum(len(ids) - 1 for ids in objects.values())
    ratio = ours_bytes / theirs_bytes
    print(f"  memory of value('')'s result       {ours_bytes / 1e6:9.2f} MB   json.loads's result"
          f"        {theirs_bytes / 1e6:9.2f} MB   x{ratio:5.2f}  (goal <= 1.0x) {verdict(ratio, 1.0)}")
    print(f"  repeated key names sharing one str {repeats - extra} of {repeats}"
          f" ({'ok' if extra == 0 else 'MISSED'})")


def big_lists():
    """value('') of a group holding one large list, against marshal.loads of the same list."""
    rng = random.Random(3)
    print("== value('') of a group holding a large list")
    for name, items in (("1,000,000 floats", [rng.uniform(-1e9, 1e9) for _ in range(1_000_000)]),
                        ("1,000,000 strings", [f"item {rng.randrange(10**9)}" for _ in range(1_000_000)])):
        engine = OrnSettingEngine("bench", "memory")
        engine.set_value("group/list", items)
        engine.begin_group("group")
        blob = marshal.dumps({"list": items})
        ours, floor = side_by_side([lambda: engine.value(""), lambda: marshal.loads(blob)])
        line(f"value('') of {name}", ours, floor, "marshal.loads", 1.2)


# --- single calls --------------------------------------------------------------------------------

def single_calls():
    print("== single calls on a warm engine holding a 5 KB tree")
    data = settings_data(5_000, seed=11)
    data["window"] = {"size": {"width": 800, "height": 600}, "title": "main"}
    data["a"] = {"b": {"c": 1}}
    engine = OrnSettingEngine("bench", "memory")
    for key, value in data.items():
        engine.set_value(key, value)
    g = {"e": engine, "d": data}
    number = 300_000
    calls = [
        ("value('window/size/width')", "e.value('window/size/width')", "d['window']['size']['width']",
         2.0),
        ("contains('window/size/width')", "e.contains('window/size/width')",
         "'width' in d['window']['size']", 2.0),
        ("set_value('a/b/c', 1)", "e.set_value('a/b/c', 1)", "d['a']['b']['c'] = 1", 3.0),
    ]
    base = per_call_ns("e.status()", g, number=number)
    print(f"  (a bare call, status(), costs {base:.1f} ns)")
    for name, ours_stmt, theirs_stmt, limit in calls:
        ours = theirs = float("inf")
        for _ in range(3):  # interleaved
            ours = min(ours, per_call_ns(ours_stmt, g, number=number, repeat=2))
            theirs = min(theirs, per_call_ns(theirs_stmt, g, number=number, repeat=2))
        line(name, ours, theirs, theirs_stmt, limit, unit="ns", scale=1)


def saving(data):
    print("== set_value of a large dict")
    engine = OrnSettingEngine("bench", "memory")
    ours, theirs = side_by_side([lambda: engine.set_value("root", data), lambda: orjson.dumps(data)])
    line("set_value('root', tree)", ours, theirs, "orjson.dumps(tree)", 0.5)
    # A whole save to a file on tmpfs, where flushing is free: set_value of every top key and
    # sync against orjson.dumps and a write of its text.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="orn-bench-", dir=base) as folder:
        target = os.path.join(folder, "out.json")

        def ours_save():
            # Each run saves into a new file, as a fresh save would: an engine opened on the last
            # run's file would load those 24 MB first.
            if os.path.exists(target):
                os.unlink(target)
            writer = OrnSettingEngine(target)
            for key, value in data.items():
                writer.set_value(key, value)
            writer.sync()

        def orjson_save():
            with open(target + ".peer", "wb") as f:
                f.write(orjson.dumps(data, option=orjson.OPT_INDENT_2 | orjson.OPT_SORT_KEYS))

        ours, theirs = side_by_side([ours_save, orjson_save])
        line("set_value + sync to a file", ours, theirs, "orjson.dumps + write", 1.0)
        record("JSON", "save", "24 MB mixed", "orjson", theirs / ours)


def main(sections):
    """sections: any of shapes, big, lists, calls (all by default)."""
    print(f"Python {sys.version.split()[0]}, orjson {orjson.__version__}, msgspec {msgspec.__version__};"
          f" best of {ROUNDS} interleaved rounds")
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="orn-bench-", dir=base) as folder:
        rng = random.Random(5)
        if "shapes" in sections:
            for name, make in SHAPES.items():
                path = write_json(folder, name, make(1_000_000, rng))
                loading(path, f"1 MB shape '{name}'", 0.5, 1.3)
        if "big" in sections:
            big = settings_data(int(BIG_MB * 1e6 * 0.64), seed=13)  # indented JSON is larger than repr
            path = write_json(folder, "big", big)
            loading(path, f"{BIG_MB:.0f} MB mixed file", 0.5, 1.0)
            memory_and_sharing(path)
            saving(big)
            del big
    if "lists" in sections:
        big_lists()
    if "calls" in sections:
        single_calls()


if __name__ == "__main__":
    main(sys.argv[1:] or ["shapes", "big", "lists", "calls"])
