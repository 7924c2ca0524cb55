"""Keys, groups, reading, writing, listing and clearing on an in-memory store."""

import gc

import pytest

from _orn_core import OrnSettingEngine


def engine_with(tree):
    e = OrnSettingEngine("mem", "memory")
    for k, v in tree.items():
        e.set_value(k, v)
    return e


class TestKeys:
    @pytest.mark.parametrize("key", ["a/b", "/a/b", "a//b", "a/b/", "//a///b//"])
    def test_forms_of_one_place(self, mem, key):
        mem.set_value("a/b", 1)
        assert mem.value(key) == 1 and mem.contains(key)

    @pytest.mark.parametrize("key", [" a/b", "a /b", "A/b", "a/B"])
    def test_other_places(self, mem, key):
        mem.set_value("a/b", 1)
        assert mem.value(key) is None and not mem.contains(key)

    @pytest.mark.parametrize("slashes", [1, 2, 3])
    def test_separators_at_every_offset_of_a_long_key(self, slashes):
        # Long keys are split a word at a time: a separator in any byte of a word, runs of them
        # across a word's edge and an ending one must all part the key as a plain split does.
        text = "abcdefghijklmnopqrstuvwxyz0123"
        for at in range(len(text) + 1):
            key = text[:at] + "/" * slashes + text[at:]
            path = [piece for piece in key.split("/") if piece]
            e = OrnSettingEngine("mem", "memory")
            e.set_value(key, at)
            expected = at
            for piece in reversed(path):
                expected = {piece: expected}
            assert e.value("") == expected, key
            assert e.value("/".join(path)) == at and e.contains(key)

    @pytest.mark.parametrize("key", ["", "/", "//"])
    def test_empty_keys_read_the_root_and_refuse_writes(self, mem, key):
        mem.set_value("x", 1)
        assert mem.value(key) == {"x": 1} and mem.contains(key)
        for write in (lambda: mem.set_value(key, 1), lambda: mem.remove(key)):
            with pytest.raises(KeyError) as err:
                write()
            assert err.value.args == ("Key is empty",)
        assert mem.value("") == {"x": 1}

    def test_conversion_comes_before_the_empty_key(self, mem):
        with pytest.raises(TypeError, match="unsupported type object"):
            mem.set_value("", object())


class TestReading:
    def test_values_and_presence(self):
        e = engine_with({"a": {"b": 1, "n": None}})
        assert e.value("a/b") == 1
        assert e.value("a/n") is None and e.contains("a/n")
        assert e.value("a/zz") is None and not e.contains("a/zz")
        assert list(e.value("a")) == ["b", "n"]

    @pytest.mark.parametrize("key", ["a/b", "l/0", "l/1/x", "s/x", "a/b/c"])
    def test_nothing_below_scalars_and_lists(self, key):
        e = engine_with({"a": 5, "l": [1, {"x": 2}], "s": "text"})
        assert e.value(key) is None and not e.contains(key)

    def test_results_are_copies(self, mem):
        mem.set_value("g", {"l": [1, 2], "d": {"x": 1}})
        got = mem.value("g")
        got["l"].append(3)
        got["d"]["y"] = 2
        assert mem.value("g") == {"d": {"x": 1}, "l": [1, 2]}

    def test_dict_keys_come_in_byte_order(self, mem):
        mem.set_value("m", {"b": 1, "a-b": 2, "a": 3, "Z": 4, "é": 5, "a/x": 6})
        assert list(mem.value("m")) == ["Z", "a", "a-b", "a/x", "b", "é"]

    @pytest.mark.parametrize("enabled", [True, False])
    def test_collector_state_is_kept(self, mem, enabled):
        mem.set_value("g", {"l": [{"x": 1}] * 3})
        # Deeper than the interpreter's C recursion limit: 1500 levels on 3.12, 10000 on 3.13.
        mem.set_value("/".join(["d"] * 20_000), 1)
        (gc.enable if enabled else gc.disable)()
        try:
            assert mem.value("g") == {"l": [{"x": 1}] * 3}
            with pytest.raises(TypeError, match="^RecursionError"):
                mem.value("")
            assert gc.isenabled() is enabled
        finally:
            gc.enable()

    def test_empty_group_is_a_dict(self, mem):
        mem.set_value("g", {})
        assert mem.value("g") == {} and mem.contains("g")


class TestWriting:
    def test_creates_and_merges(self, mem):
        mem.set_value("a/b", 1)
        mem.set_value("/a//c/", 2)
        assert mem.value("") == {"a": {"b": 1, "c": 2}}

    def test_replaces_whole_entries(self, mem):
        mem.set_value("a/b", 1)
        mem.set_value("a", 7)
        assert mem.value("") == {"a": 7}
        mem.set_value("a", {"x": {}})
        assert mem.child_groups() == ["a"]

    @pytest.mark.parametrize("key", ["a/b/c", "a/b/c/d", "l/0/x", "s/x"])
    def test_path_through_a_value_fails_unchanged(self, key):
        e = engine_with({"a": {"b": 1}, "l": [1], "s": "x"})
        before = e.value("")
        for write in (lambda: e.set_value(key, 1), lambda: e.remove(key)):
            with pytest.raises(TypeError) as err:
                write()
            assert err.value.args == ("Path segment is not an object",)
        assert e.value("") == before

    def test_remove(self, mem):
        mem.remove("x/y/z")
        assert mem.value("") == {"x": {"y": {}}}
        mem.set_value("a/b", 1)
        mem.remove("a/b")
        assert mem.value("a") == {} and "a" in mem.child_groups()
        mem.set_value("a/b", {"c": 1})
        mem.remove("a")
        assert not mem.contains("a")

    def test_dict_value_becomes_a_group(self, mem):
        mem.set_value("g", {"x": 1, "y": {"z": 2}})
        assert mem.child_groups() == ["g"]
        assert mem.all_keys() == ["g/x", "g/y/z"]


class TestGroups:
    def test_stack(self, mem):
        mem.begin_group("a")
        mem.begin_group("b")
        assert mem.group() == "a/b"
        mem.end_group()
        assert mem.group() == "a"
        mem.end_group()
        mem.end_group()
        assert mem.group() == ""

    @pytest.mark.parametrize("name, pushed", [("", None), ("/", None), ("///", None), ("/a/", "a"), (" a ", " a "), ("a/b", "a/b")])
    def test_names(self, mem, name, pushed):
        mem.begin_group("outer")
        mem.begin_group(name)
        assert mem.group() == ("outer" if pushed is None else f"outer/{pushed}")
        mem.end_group()
        assert mem.group() == ("" if pushed is None else "outer")

    def test_inner_slash_is_one_segment(self, mem):
        mem.begin_group("a/b")
        mem.set_value("x", 1)
        mem.end_group()
        assert mem.value("") == {"a/b": {"x": 1}}
        assert mem.all_keys() == ["a/b/x"] and mem.child_groups() == ["a/b"]

    # Paths of group entries and key pieces on either side of the count kept without allocating;
    # a key of slashes only writes the innermost group itself.
    @pytest.mark.parametrize("groups, pieces", [(0, 1), (0, 8), (0, 9), (3, 5), (3, 6), (8, 1), (9, 0), (5, 20)])
    def test_long_paths(self, mem, groups, pieces):
        for i in range(groups):
            mem.begin_group(f"g{i}")
        mem.set_value("/" + "//".join(f"k{i}" for i in range(pieces)) + "/", "v")
        for _ in range(groups):
            mem.end_group()
        expected = "v"
        for name in reversed([f"g{i}" for i in range(groups)] + [f"k{i}" for i in range(pieces)]):
            expected = {name: expected}
        assert mem.value("") == expected

    def test_keys_are_relative(self, mem):
        mem.set_value("a/b", 1)
        mem.set_value("a/n", None)
        mem.begin_group("a")
        assert mem.value("b") == 1 and mem.value("") == {"b": 1, "n": None}
        mem.begin_group("missing")
        assert mem.value("") is None and not mem.contains("")
        assert mem.value("/a/b") is None
        assert mem.child_keys() == mem.child_groups() == mem.all_keys() == []

    def test_empty_key_names_the_group(self, mem):
        mem.set_value("g/x", 1)
        mem.begin_group("g")
        mem.set_value("", 3)
        mem.end_group()
        assert mem.value("") == {"g": 3}
        mem.begin_group("g")
        mem.remove("")
        assert mem.group() == "g"
        mem.end_group()
        assert mem.value("") == {}

    def test_new_engine_starts_at_the_root(self, store):
        e = OrnSettingEngine("p", store)
        e.begin_group("g")
        assert OrnSettingEngine("p", store).group() == ""


class TestListing:
    TREE = {"b": 1, "a": {"x": 1, "e": {}}, "c": [{"k": 1}], "n": None}

    def test_root(self):
        e = engine_with(self.TREE)
        assert e.child_keys() == ["b", "c", "n"]
        assert e.child_groups() == ["a"]
        assert e.all_keys() == ["a/x", "b", "c", "n"]

    def test_inside_a_group(self):
        e = engine_with(self.TREE)
        e.begin_group("a")
        assert (e.child_keys(), e.child_groups(), e.all_keys()) == (["x"], ["e"], ["x"])

    @pytest.mark.parametrize("group", ["nope", "b", "c"])
    def test_missing_or_scalar_group(self, group):
        e = engine_with(self.TREE)
        e.begin_group(group)
        assert e.child_keys() == e.child_groups() == e.all_keys() == []

    @pytest.mark.parametrize(
        "tree, expected",
        [
            ({}, []),
            ({"a": {"b": {"c": 1}}, "a-b": 2}, ["a/b/c", "a-b"]),
            ({"a": {"x": 1}, "a-b": 2}, ["a/x", "a-b"]),
            ({"x/y": {"z": 1}}, ["x/y/z"]),
            ({"": 1}, [""]),
            ({"g": {"": 1}}, ["g/"]),
            ({"": {"x": 1}}, ["x"]),
        ],
    )
    def test_all_keys_order_and_form(self, mem, tree, expected):
        mem.set_value("r", tree)
        mem.begin_group("r")
        assert mem.all_keys() == expected

    def test_lists_are_new(self, mem):
        mem.set_value("a", 1)
        keys = mem.child_keys()
        keys.append("zz")
        assert mem.child_keys() == ["a"]


class TestClear:
    def test_root_and_group(self):
        e = engine_with({"a": 1, "g": {"x": 1}})
        e.begin_group("g")
        e.clear()
        e.end_group()
        assert e.value("") == {"a": 1, "g": {}}
        e.clear()
        assert e.value("") == {}

    def test_creates_missing_group(self, mem):
        mem.begin_group("new")
        mem.clear()
        assert mem.value("") == {}
        mem.end_group()
        assert mem.value("") == {"new": {}}

    def test_group_holding_a_value(self):
        e = engine_with({"g": 5})
        e.begin_group("g")
        with pytest.raises(TypeError) as err:
            e.clear()
        assert err.value.args == ("Path segment is not an object",)
        e.end_group()
        assert e.value("") == {"g": 5}


class TestNonMappingRoot:
    @pytest.mark.parametrize("root", [[1, 2], None, 5, "text"])
    def test_reads_find_nothing_and_writes_fail(self, store, root):
        store.data = root
        e = OrnSettingEngine("p", store)
        assert e.value("") == root and e.value("/") == root
        assert e.value("a") is None and not e.contains("a")
        assert e.child_keys() == e.child_groups() == e.all_keys() == []
        for write in (lambda: e.set_value("a", 1), lambda: e.remove("a"), e.clear):
            with pytest.raises(TypeError) as err:
                write()
            assert err.value.args == ("Root is not an object",)
        with pytest.raises(KeyError):
            e.set_value("", 1)


class TestDepth:
    def test_deep_key_paths_do_not_exhaust_the_stack(self, mem):
        deep = "/".join(["d"] * 200_000)
        mem.set_value(deep, 1)
        assert mem.value(deep) == 1
        assert mem.all_keys() == [deep]
        with pytest.raises(TypeError, match="^RecursionError: "):
            mem.value("")
        mem.set_value("ok", 1)
        assert mem.value("ok") == 1
        del mem  # freeing the deep tree must not crash either

    def test_self_containing_data(self, mem):
        loop = []
        loop.append(loop)
        with pytest.raises(TypeError, match="^RecursionError: "):
            mem.set_value("x", loop)
        mem.set_value("x", 1)
        assert mem.value("") == {"x": 1}
