"""Helpers shared by the benchmark scripts: best-of timing and generated settings data."""

import json
import os
import random
import tempfile
import time
import timeit


def per_call_ns(stmt, setup_globals, number=200_000, repeat=5):
    """Best-of-repeat time of one execution of stmt, in nanoseconds."""
    timer = timeit.Timer(stmt, globals=setup_globals)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def best_of(fn, repeat=3, warm=True):
    """The shortest of repeat runs of fn, in seconds, after one warm-up run (page cache, allocator
    arenas, lazily imported code) unless warm is false."""
    if warm:
        fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def text_save(dumps, data, path):
    """A peer's save, for timing: dumps(data), then its text written to path."""
    def run():
        text = dumps(data)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return run


def scratch_folder():
    """A folder on tmpfs where there is one, so that flushing to a disk costs nothing for anyone."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    return tempfile.TemporaryDirectory(prefix="orn-bench-", dir=base)


def settings_data(target_bytes, seed=7):
    """Nested settings-like data: many short keys, ints, floats, strings, small lists."""
    rng = random.Random(seed)
    words = ["window", "size", "width", "height", "title", "font", "color", "theme", "path",
             "recent", "enabled", "timeout", "retries", "ratio", "name", "id", "level", "mode"]

    def leaf():
        kind = rng.random()
        if kind < 0.3:
            return rng.randint(0, 100000)
        if kind < 0.45:
            return rng.randint(-2**40, 2**40)
        if kind < 0.6:
            return round(rng.uniform(-1000, 1000), rng.randint(0, 6))
        if kind < 0.85:
            return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz _-/é") for _ in range(rng.randint(3, 24)))
        if kind < 0.92:
            return rng.random() < 0.5
        if kind < 0.95:
            return None
        return [rng.randint(0, 999) for _ in range(rng.randint(0, 6))]

    def group(depth):
        out = {}
        for i in range(rng.randint(4, 12)):
            key = f"{rng.choice(words)}_{i}"
            out[key] = group(depth + 1) if depth < 3 and rng.random() < 0.3 else leaf()
        return out

    root = {}
    size = 0
    i = 0
    while size < target_bytes:
        section = group(0)
        root[f"section_{i:06d}"] = section
        size += len(repr(section))
        i += 1
    return root


def record(fmt, operation, shape, peer, speedup):
    """Notes one figure for bench/chart.py: how many times faster we were than peer (above 1 is
    faster). Nothing happens unless the chart asked for figures through ORN_BENCH_RECORD."""
    target = os.environ.get("ORN_BENCH_RECORD")
    if not target:
        return
    with open(target, "a", encoding="utf-8") as f:
        f.write(json.dumps({"format": fmt, "operation": operation, "shape": shape, "peer": peer,
                            "speedup": speedup}) + "\n")
