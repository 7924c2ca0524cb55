"""Draws the benchmarks' figures as one bar chart, bench/speed.png: for each format and
operation, how many times faster than each Python peer we were (the geometric mean over the
benchmark's shapes; above 1 is faster). Runs the format benchmarks itself, so it takes minutes.

    .venv/bin/python bench/chart.py        (make bench installs matplotlib and the peers)
"""

import collections
import datetime
import json
import math
import os
import platform
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = ["bench_python.py", "bench_yaml.py", "bench_toml.py", "bench_json5.py"]


def collect():
    with tempfile.NamedTemporaryFile("r", suffix=".jsonl", delete=False) as out:
        path = out.name
    try:
        env = dict(os.environ, ORN_BENCH_RECORD=path)
        for script in SCRIPTS:
            print(f"running {script}", flush=True)
            # Their own lines go through: one run gives both the chart and the figures behind it.
            subprocess.run([sys.executable, os.path.join(HERE, script)], check=True, env=env)
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]
    finally:
        os.unlink(path)


def geometric_means(records):
    groups = collections.defaultdict(list)
    for r in records:
        groups[(r["format"], r["operation"], r["peer"])].append(r["speedup"])
    return {key: math.exp(sum(map(math.log, values)) / len(values)) for key, values in groups.items()}


def draw(means, target):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [f"{fmt} {op}\nvs {peer}" for fmt, op, peer in means]
    values = list(means.values())
    fig, ax = plt.subplots(figsize=(max(8, 0.75 * len(values)), 5))
    bars = ax.bar(range(len(values)), values,
                  color=["#2a7ab0" if v >= 1 else "#c8553d" for v in values])
    ax.set_yscale("log")
    ax.axhline(1, color="black", linewidth=0.8)
    ax.set_xticks(range(len(values)), labels, fontsize=7, rotation=60, ha="right")
    ax.set_ylabel("times faster than the peer (log scale; above 1 = faster)")
    for bar, value in zip(bars, values):
        ax.annotate(f"{value:.3g}x", (bar.get_x() + bar.get_width() / 2, value), ha="center",
                    va="bottom", fontsize=7)
    stamp = datetime.date.today().isoformat()
    machine = f"{platform.machine()}, {os.cpu_count()} cores, CPython {platform.python_version()}"
    ax.set_title(f"_orn_core against Python peers: load = construct + value(''), save = set_value"
                 f" + sync on tmpfs\n{stamp}, {machine}", fontsize=9)
    fig.tight_layout()
    fig.savefig(target, dpi=110)
    print(f"wrote {target}")


def main():
    means = geometric_means(collect())
    for (fmt, op, peer), value in means.items():
        print(f"{fmt:6s} {op:5s} vs {peer:22s} x{value:8.2f} faster")
    draw(dict(sorted(means.items())), os.path.join(HERE, "speed.png"))


if __name__ == "__main__":
    main()
