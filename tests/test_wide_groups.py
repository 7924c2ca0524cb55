"""Groups of thousands of keys: random edits agree with a dict, and keys stay in byte order."""

import json
import random

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _orn_core import OrnSettingEngine

# Prefixes shorter than, as long as and longer than eight bytes, ASCII and not, so that keys tie
# on their first bytes and differ anywhere after.
PREFIXES = ["", "k", "prefix_", "prefix__", "prefix__x", "é", "日本語の設定",
            "a.long.shared.prefix.of.settings.", "a.long.shared.prefix.of.settings.é"]
ALPHABET = ["a", "b", "0", "~", " ", "é", "日", "\U0001F600", "\x00", "\x7f"]

suffixes = st.lists(st.sampled_from(ALPHABET), min_size=1, max_size=5).map("".join)
keys = st.builds(str.__add__, st.sampled_from(PREFIXES), suffixes)
# (operation, key, a number that picks a stored key, or a count, or the value to store)
steps = st.lists(st.tuples(st.sampled_from(["set", "set_known", "remove", "remove_known",
                                            "remove_run", "look", "look_known"]),
                           keys, st.integers(0, 2**32)), min_size=10, max_size=80)


def byte_order(names):
    return sorted(names, key=str.encode)


def population(count, seed):
    """count distinct keys of the strategy's shape, in random order."""
    rng = random.Random(seed)
    found = {}
    while len(found) < count:
        key = rng.choice(PREFIXES) + "".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 6)))
        found[key] = None
    names = list(found)
    rng.shuffle(names)
    return names


class TestWideGroup:
    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(count=st.sampled_from([0, 128, 129, 1000, 2000, 3000, 5000]),
           seed=st.integers(0, 2**32), steps=steps,
           # "/" before or after a key is an empty segment and changes nothing.
           slashes=st.sampled_from(["", "/", "//"]))
    def test_edits_agree_with_a_dict(self, count, seed, steps, slashes):
        engine = OrnSettingEngine("wide", "memory")
        engine.begin_group("wïde")
        model = {}
        for i, key in enumerate(population(count, seed)):
            engine.set_value(key, i)
            model[key] = i
        assert engine.child_keys() == byte_order(model)
        for op, key, number in steps:
            ordered = byte_order(model)
            if op.endswith("_known") and ordered:
                key = ordered[number % len(ordered)]
            path = slashes + key + slashes
            if op.startswith("set"):
                engine.set_value(path, f"v{number}")
                model[key] = f"v{number}"
            elif op == "remove_run":
                # A stretch of neighbours: empties whole blocks and merges the rest.
                start = number % max(len(ordered), 1)
                for gone in ordered[start:start + number % 400]:
                    engine.remove(gone)
                    del model[gone]
            elif op.startswith("remove"):
                engine.remove(path)
                model.pop(key, None)
            else:
                assert engine.contains(path) == (key in model)
                assert engine.value(path) == model.get(key)
            assert engine.child_keys() == byte_order(model)
        for key in list(model)[:50]:
            assert engine.value(key) == model[key]
        engine.end_group()
        assert engine.all_keys() == ["wïde/" + key for key in byte_order(model)]

    @pytest.mark.parametrize("order", ["ascending", "descending", "random"])
    def test_emptied_from_either_end_or_at_random(self, order):
        engine = OrnSettingEngine("wide", "memory")
        names = population(5000, 11)
        for i, key in enumerate(names):
            engine.set_value(key, i)
        if order != "random":
            names = byte_order(names)
        if order == "descending":
            names.reverse()
        for done, key in enumerate(names, 1):
            engine.remove(key)
            if done % 500 == 0:
                assert engine.child_keys() == byte_order(names[done:])
        assert engine.child_keys() == []
        engine.set_value("again", 1)
        assert engine.all_keys() == ["again"]


def object_text(pairs):
    """A JSON object with exactly these members, repeats and order included."""
    return "{" + ",".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in pairs) + "}"


class TestLoadingWideGroups:
    # Sizes either side of one block, of the in-place sort and of the radix sort.
    @pytest.mark.parametrize("count", [2, 32, 33, 128, 129, 1023, 1024, 1025, 20000])
    def test_unsorted_repeats_keep_the_last_and_sort(self, tmp_path, count):
        rng = random.Random(count)
        names = population(count, count)
        pairs = [(key, i) for i, key in enumerate(names)]
        pairs += [(rng.choice(names), -i) for i in range(1, count // 3 + 2)]
        rng.shuffle(pairs)
        want = dict(pairs)  # the last of repeated keys wins, as in the file
        path = tmp_path / "wide.json"
        path.write_text('{"g": ' + object_text(pairs) + "}", encoding="utf-8")
        engine = OrnSettingEngine(str(path))
        engine.begin_group("g")
        assert engine.child_keys() == byte_order(want)
        assert [engine.value(k) for k in byte_order(want)] == [want[k] for k in byte_order(want)]
        engine.sync()
        assert list(json.loads(path.read_text(encoding="utf-8"))["g"]) == byte_order(want)

    @pytest.mark.parametrize("base", ["", "prefix_", "prefix__", "prefix__x", "sixteen_bytes_ab"])
    def test_keys_that_are_prefixes_of_each_other(self, tmp_path, base):
        # A key ending in NUL bytes reads, eight bytes at a time, like a shorter one padded.
        names = [base + "\x00" * n for n in range(18)] + [base + "\x00" * n + "a" for n in range(18)]
        names += [base + "\x01", base[:-1] if base else "\x00\x00\x00\x00\x00\x00\x00\x00\x01"]
        pairs = [(key, i) for i, key in enumerate(names)] * 40  # repeats push it past 1024 entries
        random.Random(5).shuffle(pairs)
        want = dict(pairs)
        path = tmp_path / "prefixes.json"
        path.write_text('{"g": ' + object_text(pairs) + "}", encoding="utf-8")
        engine = OrnSettingEngine(str(path))
        engine.begin_group("g")
        assert engine.child_keys() == byte_order(want)  # the empty key is a loaded key like any
        assert all(engine.value(k) == want[k] for k in want if k)
