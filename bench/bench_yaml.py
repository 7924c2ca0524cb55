"""Loading and saving YAML settings files against PyYAML's libyaml-based loader and dumper, and
the reader's rate against libyaml's bare parser on the same file."""

import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, record, scratch_folder, settings_data  # noqa: E402

from _orn_core import OrnSettingEngine  # noqa: E402

try:
    import yaml
    from yaml import CSafeDumper, CSafeLoader
except ImportError:
    sys.exit("bench_yaml.py needs PyYAML built with libyaml: pip install -r bench/requirements.txt")

# The bare event loop: parse and free, best of its rounds; no tree is built.
EVENT_LOOP = r"""
#include <yaml.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}
int main(int argc, char** argv) {
  FILE* f = fopen(argv[1], "rb");
  fseek(f, 0, SEEK_END); long n = ftell(f); fseek(f, 0, SEEK_SET);
  unsigned char* text = malloc(n); if (fread(text, 1, n, f) != (size_t)n) return 2;
  int rounds = atoi(argv[2]);
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    double start = now();
    yaml_parser_t p; yaml_event_t e;
    yaml_parser_initialize(&p);
    yaml_parser_set_input_string(&p, text, n);
    yaml_parser_set_encoding(&p, YAML_UTF8_ENCODING);
    for (;;) {
      if (!yaml_parser_parse(&p, &e)) return 1;
      int done = e.type == YAML_STREAM_END_EVENT;
      yaml_event_delete(&e);
      if (done) break;
    }
    yaml_parser_delete(&p);
    double took = now() - start;
    if (took < best) best = took;
  }
  printf("%.9f\n", best);
  return 0;
}
"""


def shapes(target):
    rng = random.Random(11)

    def until(make):
        out, size, i = {}, 0, 0
        while size < target:
            key, value = make(i)
            out[key] = value
            size += len(yaml.dump({key: value}, Dumper=CSafeDumper, allow_unicode=True))
            i += 1
        return out

    def deep(i):
        value = {"leaf": i, "name": f"n{i}"}
        for level in range(40):
            value = {f"level{level}": value, "id": level}
        return f"tree{i:05d}", value

    return {
        "keys-heavy": until(lambda i: (f"group{i:06d}", {f"k{j}": j for j in range(8)})),
        "floats": until(lambda i: (f"series{i:05d}", [rng.uniform(-1e6, 1e6) for _ in range(32)])),
        "strings": until(lambda i: (f"text{i:06d}", "".join(
            rng.choice("abcdefghij klmnopé:#-'") for _ in range(rng.randint(5, 80))))),
        "deep": until(deep),
        "mixed": settings_data(target),
    }


def write_with_engine(path, data):
    if os.path.exists(path):
        os.unlink(path)  # an engine on an existing file would load it first
    e = OrnSettingEngine(path, "yaml")
    for key, value in data.items():
        e.set_value(key, value)
    e.sync()


def main():
    with scratch_folder() as folder:
        print(f"files in {folder} ({'tmpfs' if folder.startswith('/dev/shm') else 'a disk folder'})")
        loop = os.path.join(folder, "events")
        source = loop + ".c"
        with open(source, "w") as f:
            f.write(EVENT_LOOP)
        built = subprocess.run(["cc", "-O2", source, "-o", loop, "-lyaml"], capture_output=True)
        if built.returncode != 0:
            loop = None
            print("no C compiler for the bare event loop: its rate is not measured")
        cases = list(shapes(1_000_000).items()) + [("mixed 20 MB", settings_data(20_000_000))]
        for label, data in cases:
            path = os.path.join(folder, "in.yaml")
            write_with_engine(path, data)
            measure(folder, path, label, data, loop)


def measure(folder, path, label, data, loop):
    mb = os.path.getsize(path) / 1e6
    repeat = 1 if mb > 5 else 3
    kept = []  # freeing a tree is not part of loading it
    construct = best_of(lambda: kept.append(OrnSettingEngine(path, "yaml")), repeat)
    kept.clear()
    ours = best_of(lambda: kept.append(OrnSettingEngine(path, "yaml").value("")), repeat)
    kept.clear()

    def pyyaml_load():
        with open(path, encoding="utf-8") as f:
            return yaml.load(f, Loader=CSafeLoader)

    theirs = best_of(lambda: kept.append(pyyaml_load()), repeat)
    kept.clear()

    out = os.path.join(folder, "out.yaml")

    def ours_save():
        write_with_engine(out, data)

    def pyyaml_save():
        with open(out, "w", encoding="utf-8") as f:
            yaml.dump(data, f, Dumper=CSafeDumper, allow_unicode=True)

    save_ours = best_of(ours_save, repeat)
    save_theirs = best_of(pyyaml_save, repeat)

    record("YAML", "load", label, "PyYAML CSafeLoader", theirs / ours)
    record("YAML", "save", label, "PyYAML CSafeDumper", save_theirs / save_ours)
    line = (f"{label:12s} {mb:5.1f} MB  load x{theirs / ours:5.1f} (>= 10)  "
            f"save x{save_theirs / save_ours:5.1f} (>= 20)  reader {mb / construct:6.1f} MB/s")
    if loop:
        # The best of several rounds inside one process, timed around the parse alone, as
        # construction is timed best of several runs.
        rounds = 2 if mb > 5 else 4
        run = subprocess.run([loop, path, str(rounds)], check=True, capture_output=True, text=True)
        bare = float(run.stdout)
        line += f"  libyaml events {mb / bare:6.1f} MB/s  reader/bare {bare / construct:4.2f} (>= 0.70)"
    print(line, flush=True)


if __name__ == "__main__":
    main()
