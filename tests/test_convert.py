"""Python objects into the settings tree and back, through set_value and value."""

import collections
import dataclasses
import datetime
import decimal
import enum
import math
import random
import subprocess
import sys
import textwrap
import types

import pytest
from hypothesis import given, settings, strategies as st

from _orn_core import OrnSettingEngine
from conftest import SANITIZED, Reported, lying, same

RECURSION = "RecursionError: maximum recursion depth exceeded while converting a value"


def round_trip(obj):
    e = OrnSettingEngine("unused", "memory")
    e.set_value("k", obj)
    return e.value("k")


class Color(enum.IntEnum):
    BLUE = 3


@dataclasses.dataclass
class Point:
    y: str
    x: int
    label = "class attribute, not a field"


@dataclasses.dataclass(slots=True)
class Slotted:
    x: int


def faked(fields, **attrs):
    """An instance that passes the dataclass test with the given fields."""
    obj = type("Faked", (), {"__dataclass_fields__": fields})()
    obj.__dict__.update(attrs)
    return obj


class Growing(collections.abc.Sequence):
    """Longer at each len(); clears `owner` (the list that holds it) when it is converted."""

    def __init__(self, owner=None):
        self.owner, self.calls = owner, 0

    def __len__(self):
        if self.owner is not None:
            self.owner.clear()
            return 0
        self.calls += 1
        return self.calls

    def __getitem__(self, i):
        return i


def self_clearing_list():
    owner = [None, "a", "b"]
    owner[0] = Growing(owner)
    return owner


class Failing(Exception):
    def __str__(self):
        raise ValueError


class BadMapping(dict):
    def keys(self):
        raise Failing


class Opaque:
    @property
    def __class__(self):  # makes isinstance against an abstract base class raise
        raise LookupError("hidden")


def nested_list(depth):
    obj = []
    for _ in range(depth):
        obj = [obj]
    return obj


class TestAccepted:
    @pytest.mark.parametrize("obj, want", [
        (True, True), (Color.BLUE, 3), (2**64 - 1, 2**64 - 1), (-2**63, -2**63), (2**63, 2**63),
        (1.0, 1.0), (-0.0, -0.0), (float("nan"), None), (float("-inf"), None),
        ((1, 2), [1, 2]), (range(3), [0, 1, 2]), (collections.deque([1, "a"]), [1, "a"]), ({3}, [3]),
        (frozenset(["a"]), ["a"]), (type("L", (list,), {})([1]), [1]), ("é\0", "é\0"),
        (type("S", (str,), {})("s"), "s"), (type("F", (float,), {})(0.5), 0.5),
        ({"z": 1, "é": 2, "Z": 3, "": 4}, {"": 4, "Z": 3, "z": 1, "é": 2}),
        (collections.OrderedDict(b=1, a=2), {"a": 2, "b": 1}),
        (types.MappingProxyType({"b": [], "a": {}}), {"a": {}, "b": []}),
        (Point(y="a", x=1), {"x": 1, "y": "a"}), ([Point("b", 2)], [{"x": 2, "y": "b"}]),
        (faked({"x": None}, x=(1,), other=2), {"x": [1]}),
    ])
    def test_reads_back(self, obj, want):
        assert same(round_trip(obj), want)

    # Plain data up to the first thing that is not, at several depths: what was converted
    # before it must neither be lost nor kept twice when the conversion starts over.
    @pytest.mark.parametrize("odd, want", [
        (2**64 - 1, 2**64 - 1), (Color.BLUE, 3), (frozenset([1]), [1]), (Point(y="a", x=1), {"x": 1, "y": "a"}),
        (nested_list(70), nested_list(70)), (type("S", (str,), {})("s"), "s"),
    ], ids=["u64", "int-subclass", "set", "dataclass", "very-deep", "str-subclass"])
    @pytest.mark.parametrize("depth", [0, 1, 3])
    def test_plain_data_around_anything_else(self, odd, want, depth):
        def around(inner, level):
            for i in range(level):
                inner = {"é" * i: [1.5, "x" * 20, inner], "a": {"b": i}} if i % 2 else [{"k": i}, inner, "é"]
            return inner
        assert same(round_trip(around(odd, depth)), round_trip(around(want, depth)))
        assert same(round_trip({"l": [around(odd, depth)] * 2}), {"l": [round_trip(around(want, depth))] * 2})

    # Small groups, wide groups and lists inside each other in every order, with plain data or an
    # int subclass (which makes the conversion start over) at the bottom.
    @pytest.mark.parametrize("bottom, want", [(7, 7), (Color.BLUE, 3)], ids=["plain", "start-over"])
    @pytest.mark.parametrize("depth", range(1, 10))
    def test_groups_of_every_width_nest_in_each_other(self, bottom, want, depth):
        def nest(level, leaf):
            if level == 0:
                return {"leaf": [leaf, "x" * 20]}
            inner = nest(level - 1, leaf)
            if level % 3 == 0:
                return {f"k{i:02d}": inner if i == 7 else i for i in range(40, 0, -1)}
            if level % 3 == 1:
                return [inner, {"b": inner, "a": "y" * 30}]
            return {"z": inner, "m": [inner], "a": 1.5}
        def in_key_order(obj):
            if isinstance(obj, dict):
                return {k: in_key_order(obj[k]) for k in sorted(obj)}
            return [in_key_order(x) for x in obj] if isinstance(obj, list) else obj
        assert same(round_trip(nest(depth, bottom)), in_key_order(nest(depth, want)))

    def test_no_reference_kept_or_lost(self, mem):
        items = [object() for _ in range(2)]
        key, value = "key" + str(id(items)), [1.5, "text" * 10]
        before = [sys.getrefcount(x) for x in (key, value, *items)]
        for _ in range(100):
            mem.set_value("k", {key: value})
            mem.value("k")
            with pytest.raises(TypeError):
                mem.set_value("k", [value, items[0], items[1]])
        assert [sys.getrefcount(x) for x in (key, value, *items)] == before


class TestRejected:
    @pytest.mark.parametrize("obj, text", [
        *[(n, "JSON number out of range") for n in (2**64, -2**63 - 1, 2**128 - 1, -2**127)],
        *[(n, "OverflowError: int too big to convert") for n in (2**128, -2**127 - 1, 2**200)],
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
        *[(obj, "unsupported type " + type(obj).__qualname__)
          for obj in (object(), 1j, decimal.Decimal(1), datetime.datetime(2000, 1, 1), Color)],
        ([1, {"a": [b""]}], "invalid type: byte array, expected any valid JSON value"),
        ({1: "a"}, "unexpected type: 'int' object is not an instance of 'str'"),
        ({None: 1}, "unexpected type: 'None' is not an instance of 'str'"),
        ({"a": 1, (1,): 2}, "unexpected type: 'tuple' object is not an instance of 'str'"),
        ("\udc80", "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' "
                   "in position 0: surrogates not allowed"),
        ({"a\ud800": 1}, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' "
                         "in position 1: surrogates not allowed"),
        (Point, "unexpected type: 'mappingproxy' object is not an instance of 'dict'"),
        (Slotted(1), "AttributeError: 'Slotted' object has no attribute '__dict__'"),
        (faked({"x": None}), "KeyError: 'x'"),
        (faked({1: None}), "unexpected type: 'int' object is not an instance of 'str'"),
        (faked(["x"], x=1), "unexpected type: 'list' object is not an instance of 'dict'"),
        (Growing(), "expected sequence of length 1, got 2"),
        (BadMapping(a=1), "Failing: <exception str() failed>"),
        (self_clearing_list(), "IndexError: list index out of range"),
    ])
    def test_message(self, mem, obj, text):
        mem.set_value("k", 1)
        with pytest.raises(TypeError) as exc:
            mem.set_value("k", obj)
        assert str(exc.value) == text
        assert mem.value("k") == 1

    def test_failing_isinstance_goes_to_the_unraisable_hook(self, mem, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, u.object)))
        obj = Opaque()
        with pytest.raises(TypeError) as exc:
            mem.set_value("k", obj)
        assert str(exc.value) == "unsupported type Opaque"
        assert seen == [(LookupError, obj)] * 2  # Sequence, then Mapping


class TestRecursion:
    @pytest.mark.parametrize("make", [
        lambda: (lambda a: a.append(a) or a)([]), lambda: (lambda d: d.update(d=d) or d)({}),
        lambda: nested_list(100_000),
        lambda: [{"a": (x,)} for x in [nested_list(100_000)]],
    ])
    def test_from_python(self, mem, make):
        with pytest.raises(TypeError) as exc:
            mem.set_value("k", make())
        assert str(exc.value) == RECURSION
        mem.set_value("k", nested_list(100))
        assert mem.value("k") == nested_list(100)

    def test_python_code_sees_the_depth_it_runs_at(self, mem):
        # A finished deep branch no longer counts against Python code that runs after it: here
        # a mapping's lookup converting a deep value of its own.
        deepest = 1
        while True:
            try:
                mem.set_value("probe", nested_list(deepest * 2))
            except TypeError:
                break
            deepest *= 2
        deep = deepest - 20  # within the limit, and more than half of it
        inner = OrnSettingEngine("unused.json", "memory")

        class Converting(collections.abc.Mapping):
            def __len__(self):
                return 1

            def __iter__(self):
                return iter(["a"])

            def __getitem__(self, key):
                inner.set_value("k", nested_list(deep))
                return 1

        mem.set_value("k", [nested_list(deep), Converting()])
        assert mem.value("k")[1] == {"a": 1} and inner.contains("k")

    @pytest.mark.parametrize("depth", [100_000, 200_000])
    def test_to_python(self, mem, depth):
        mem.set_value("/".join(["a"] * depth), 1)
        for key in ("", "a/a"):
            with pytest.raises(TypeError) as exc:
                mem.value(key)
            assert str(exc.value) == RECURSION
        assert mem.value("/".join(["a"] * (depth - 1))) == {"a": 1}


class ReportedMapping(collections.abc.Mapping):
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(["a"])

    def __getitem__(self, key):
        return 1


class TestReportedLengths:
    """A __len__ is a hint: lies and absurd lengths give ordinary errors, not internal faults."""

    @pytest.mark.parametrize("obj, text", [
        (range(2**62), "MemoryError: "),
        (range(-2**62, 2**62, 2), "MemoryError: "),
        (Reported(2**62), "MemoryError: "),
        (Reported(10**6), "IndexError: 2"),
        (lying(list, 2**62, [1, 2]), "MemoryError: "),
        (lying(list, 10**6, [1, 2]), "IndexError: list index out of range"),
        (lying(tuple, 10**6, (1, 2)), "IndexError: tuple index out of range"),
        (lying(dict, 2**62, {"a": 1}), "IndexError: list index out of range"),
        (lying(dict, 3, {"a": 1}), "IndexError: list index out of range"),
        (ReportedMapping(2**62), "IndexError: list index out of range"),
        ([{"deep": [Reported(2**62)]}], "MemoryError: "),
    ])
    def test_message(self, mem, obj, text):
        mem.set_value("k", 1)
        with pytest.raises(TypeError) as exc:
            mem.set_value("k", obj)
        assert str(exc.value) == text
        assert mem.value("k") == 1

    @pytest.mark.parametrize("obj, want", [
        (Reported(1), [0]),
        (lying(list, 1, [1, 2]), [1]),
        (lying(dict, 1, {"a": 1, "b": 2}), {"a": 1}),
        (lying(dict, 0, {"a": 1}), {}),
    ])
    def test_shorter_length_is_taken(self, obj, want):
        assert round_trip(obj) == want


def raising(exception, name):
    """A value whose conversion raises exception from its method or attribute `name`."""

    def fail(*args):
        raise exception

    if name == "__getitem__":
        return type("Raising", (collections.abc.Sequence,), {"__len__": lambda s: 1, name: fail})()
    if name == "__len__":
        return type("Raising", (list,), {name: fail})([1])
    if name == "keys":
        return type("Raising", (dict,), {name: fail})(a=1)
    if name == "__iter__":
        return type("Raising", (set,), {name: fail})({1})
    if name == "__class__":  # raised inside isinstance against the abstract classes
        return type("Raising", (), {name: property(fail)})()
    assert name == "__getattr__"  # raised by the __dataclass_fields__ lookup
    return type("Raising", (), {name: fail})()


class Interrupt(BaseException):
    pass


class TestInterrupts:
    """Interrupts and exits leave a conversion as themselves; they are no conversion failure."""

    @pytest.mark.parametrize("name", [
        "__getitem__", "__len__", "keys", "__iter__", "__class__", "__getattr__"])
    @pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, GeneratorExit, Interrupt])
    def test_same_object(self, mem, kind, name):
        mem.set_value("k", 1)
        exception = kind()
        with pytest.raises(kind) as exc:
            mem.set_value("k", {"a": [1, raising(exception, name)]})
        assert exc.value is exception
        assert mem.value("k") == 1

    @pytest.mark.parametrize("name, text", [
        ("__getitem__", "LookupError: x"), ("keys", "LookupError: x"),
        ("__getattr__", "unsupported type Raising"),
    ])
    def test_exceptions_keep_their_text(self, mem, name, text):
        with pytest.raises(TypeError) as exc:
            mem.set_value("k", raising(LookupError("x"), name))
        assert str(exc.value) == text


class Mutating(collections.abc.Sequence):
    """A sequence of one item whose __len__ or __getitem__ changes `target` first."""

    def __init__(self, target, when):
        self.target, self.when = target, when

    def mutate(self):
        self.target.pop("c", None)
        self.target.pop("b", None)
        self.target.update({f"new{i}": i for i in range(20)})  # grows the dict's table

    def __len__(self):
        if self.when == "__len__":
            self.mutate()
        return 1

    def __getitem__(self, i):
        if self.when == "__getitem__":
            self.mutate()
        if i:
            raise IndexError(i)
        return "s"


class MutatingOnClassCheck:
    """Looks like a list to isinstance, changing `target` while isinstance asks."""

    def __init__(self, target):
        self.target = target

    @property
    def __class__(self):
        self.target.clear()
        return list

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        return "s"


class TestDictSnapshot:
    """A dict is converted as it was when its conversion began, whatever its values do to it."""

    @pytest.mark.parametrize("make", [
        lambda d: Mutating(d, "__len__"), lambda d: Mutating(d, "__getitem__"),
        lambda d: MutatingOnClassCheck(d), lambda d: [{"x": (Mutating(d, "__getitem__"),)}],
    ], ids=["len", "getitem", "instancecheck", "nested"])
    def test_enclosing_dict_changed_during_conversion(self, make):
        d = {"a": None, "b": 1, "c": {"d": 2}}
        d["a"] = make(d)
        got = round_trip(d)
        assert list(got) == ["a", "b", "c"]
        assert got["b"] == 1 and got["c"] == {"d": 2}
        assert "b" not in d  # the change did happen


# Each nesting level once cost the conversions about 750 bytes of C stack.
DEEP_IN_A_SMALL_THREAD = textwrap.dedent("""
    import threading
    from _orn_core import OrnSettingEngine

    def nested(wrap):
        obj = 1
        for _ in range(1400):
            obj = wrap(obj)
        return obj

    def depth_of(obj):  # no recursion here either: == would nest as deep
        depth = 0
        while isinstance(obj, (dict, list)):
            obj, depth = obj["a"] if isinstance(obj, dict) else obj[0], depth + 1
        return depth, obj

    results = []

    def work():
        e = OrnSettingEngine("x", "memory")
        for wrap in (lambda o: {"a": o}, lambda o: [o], lambda o: (o,)):
            e.set_value("k", nested(wrap))
            results.append(depth_of(e.value("k")))

    threading.stack_size(512 * 1024)
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    print(results)
""")


def test_deep_data_in_a_thread_with_a_small_stack():
    run = subprocess.run([sys.executable, "-c", DEEP_IN_A_SMALL_THREAD],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.strip() == "[(1400, 1), (1400, 1), (1400, 1)]"


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False)
    | st.text(),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(), inner, max_size=5),
    max_leaves=30,
)


def sorted_like_the_store(obj):
    if isinstance(obj, list):
        return [sorted_like_the_store(x) for x in obj]
    if isinstance(obj, dict):
        return {k: sorted_like_the_store(obj[k]) for k in sorted(obj, key=lambda k: k.encode())}
    if isinstance(obj, float) and math.isinf(obj):
        return None
    return obj


@settings(max_examples=300, deadline=None)
@given(json_values)
def test_json_like_data_round_trips_exactly(obj):
    assert same(round_trip(obj), sorted_like_the_store(obj))


@pytest.mark.parametrize("first", [{}, {"k": 0}, {f"k{i}": i for i in range(40)}])
def test_groups_set_from_python_and_edited_later_stay_their_own(mem, first):
    # Small dicts are put together in memory that each conversion reuses; a group made from
    # one must keep none of it, however it is edited afterwards.
    mem.set_value("a", first)
    for i in range(3):
        mem.set_value(f"a/x{i}", i)
    mem.set_value("b", {"y": 2, "z": {"w": 3}})
    mem.set_value("c", {})
    assert mem.value("") == {"a": {**first, "x0": 0, "x1": 1, "x2": 2}, "b": {"y": 2, "z": {"w": 3}},
                             "c": {}}


# --- equal key names share one str within a result --------------------------------------------

MANY_NAMES = {f"group_{i}": {f"name_{j}": j for j in range(i % 7, i % 7 + 40)} for i in range(300)}


@pytest.mark.parametrize("tree, first, second", [
    ({"a": {"name": 1}, "b": {"name": 2}}, ("a", "name"), ("b", "name")),
    ({"a": {"x" * 70: 1}, "b": {"c": {"x" * 70: 2}}}, ("a", "x" * 70), ("b", "c", "x" * 70)),
    ({"a": {"größe": 1}, "b": {"größe": [0]}}, ("a", "größe"), ("b", "größe")),
    ({"l": [{"k": 1}, {"k": {"k": 2}}]}, ("l", 0, "k"), ("l", 1, "k")),
    # enough distinct names that the lookup table has grown several times in between
    (MANY_NAMES, ("group_0", "name_10"), ("group_299", "name_10")),
], ids=["short", "long", "non-ascii", "in-lists", "after-growth"])
def test_equal_keys_share_one_str_within_a_result(mem, tree, first, second):
    mem.set_value("t", tree)
    result = mem.value("t")

    def key_object(path):
        node = result
        for step in path[:-1]:
            node = node[step]
        return next(k for k in node if k == path[-1])

    a, b = key_object(first), key_object(second)
    assert a == b and a is b
    assert result == tree


@pytest.mark.parametrize("position", range(0, 20))
def test_strings_with_one_non_ascii_character_anywhere_come_back_whole(mem, position):
    # Text is copied directly while it is ASCII: a single wide character at any offset, within or
    # past the first eight-byte word, must still decode.
    text = "a" * position + "é" + "b" * (19 - position)
    mem.set_value(text, text)
    assert mem.value(text) == text
    assert list(mem.value("")) == [text]


# --- repeated conversion leaks nothing --------------------------------------------------------

REPEATED_VALUE_CALLS = textwrap.dedent("""
    import gc, sys
    from _orn_core import OrnSettingEngine

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    e = OrnSettingEngine("x", "memory")
    e.set_value("g", {"name": "main", "size": {"width": 800, "ratio": 0.25, "big": 2**63},
                      "list": [1, 2.5, None, True, "x" * 40, {"name": "inner"}, []],
                      "text": "é" * 30, "empty": {}})
    e.set_value("h/name", "other")
    e.set_value("/".join(["d"] * 3000), 1)  # deeper than the recursion limit: fails each time
    e.begin_group("g")
    counts = [sys.getrefcount(o) for o in (None, True, 1, 2)]

    def calls(n):
        for _ in range(n):
            e.value("")
            e.value("list")
        e.end_group()
        try:
            for _ in range(n // 100):
                try:
                    e.value("")
                except TypeError:
                    pass
        finally:
            e.begin_group("g")

    for enabled in (True, False):
        (gc.enable if enabled else gc.disable)()
        calls(2_000)  # warm-up: allocator arenas and the conversion's reusable stacks
        gc.collect()
        blocks, memory = sys.getallocatedblocks(), rss()
        calls(100_000)
        gc.collect()
        assert gc.isenabled() is enabled, enabled
        print(sys.getallocatedblocks() - blocks, rss() - memory)
    gc.enable()
    print([sys.getrefcount(o) for o in (None, True, 1, 2)] == counts)
""")


def test_repeated_value_calls_keep_memory_refcounts_and_collector_state():
    run = subprocess.run([sys.executable, "-c", REPEATED_VALUE_CALLS],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    *growth, refcounts_kept = run.stdout.split("\n")[:-1]
    assert refcounts_kept == "True"
    for line in growth:
        blocks, rss = map(int, line.split())
        assert abs(blocks) < 50, line
        if not SANITIZED:  # sanitizers hold freed memory in quarantine
            assert rss < 1 << 20, line


class Wide(int):
    """An int subclass: converted through its bytes, the path that differs between 3.12 and 3.13."""


class TestIntBytes:
    @pytest.mark.parametrize("n", [0, -1, 2**63, 2**64 - 1, -2**63, -2**63 + 1, 2**63 - 1])
    def test_the_64_bit_range_converts(self, mem, n):
        mem.set_value("k", Wide(n))
        assert same(mem.value("k"), n)

    @pytest.mark.parametrize("n, text", [
        *[(n, "JSON number out of range") for n in (2**64, -2**63 - 1, 2**128 - 1, -2**127)],
        *[(n, "OverflowError: int too big to convert") for n in (2**128, -2**127 - 1, -2**300)],
    ])
    def test_beyond_it(self, mem, n, text):
        with pytest.raises(TypeError) as exc:
            mem.set_value("k", Wide(n))
        assert str(exc.value) == text and exc.value.args == (text,)
        assert not mem.contains("k")


# Text comes back as a str of the narrowest kind that holds it (one, two or four bytes a
# character), equal to and hashing like the original, whatever mix of widths it has.
@pytest.mark.parametrize("widest", ["\xe9", "\xff", "\u0100", "\u07ff", "\u0800", "\uffff",
                                    "\U00010000", "\U0010ffff"])
@pytest.mark.parametrize("around", ["", "a", "plain text ", "\x80\u0101\U0001f600",
                                    "a longer run of plain text"])
def test_text_of_every_width_comes_back_canonical(widest, around):
    # Long texts are read eight bytes at a time: the wide character falls at every offset.
    at_offsets = [around[:i] + widest + around[i:] for i in range(len(around))]
    for text in (widest, around + widest, widest + around, around + widest * 3 + around, *at_offsets):
        back = round_trip(text)
        assert back == text and hash(back) == hash(text) and len(back) == len(text)
        assert back.encode("utf-8") == text.encode("utf-8")
        assert {back: 1}[text] == 1

@pytest.mark.parametrize("tail", ["", "é"])
def test_text_of_every_length_comes_back_whole(mem, tail):
    # Texts are copied in pieces of fixed sizes that overlap: every byte must land once, in place.
    texts = ["".join(chr(97 + i * 7 % 26) for i in range(n)) + tail for n in range(90)]
    mem.set_value("k", texts)
    assert mem.value("k") == texts
    for text in texts:
        mem.set_value("k", {"v": text})
        assert mem.value("k/v") == text


# --- key order and repeated keys ---------------------------------------------------------------

# Keys that tie on their first eight bytes, are prefixes of one another, end in a zero byte or
# leave ASCII at any length around the eight-byte head.
KEY_POOL = list(dict.fromkeys(
    [f"section_{i:06d}" for i in range(60)]
    + ["abcdefghijklmnopq"[:n] + tail for n in range(18) for tail in ("", "\x00", "b", "é", "\U0001f600")]
))


class PairsMapping(collections.abc.Mapping):
    """A Mapping whose keys() may list one key twice, as a faulty implementation can."""

    def __init__(self, pairs):
        self.pairs = pairs

    def keys(self):
        return [k for k, _ in self.pairs]

    def values(self):
        return [v for _, v in self.pairs]

    def __len__(self):
        return len(self.pairs)

    def __iter__(self):
        return iter(self.keys())

    def __getitem__(self, key):
        return dict(self.pairs)[key]


class DistinctStr(str):
    """Equal to nothing but itself, so that one dict can hold the same text twice."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


@pytest.mark.parametrize("count", [2, 8, 31, 32, 33, 129, len(KEY_POOL)])
def test_keys_come_back_in_byte_order(mem, count):
    keys = KEY_POOL[:]
    random.Random(count).shuffle(keys)
    tree = {k: [i] if i % 3 else i for i, k in enumerate(keys[:count])}
    mem.set_value("t", tree)
    assert same(mem.value("t"), sorted_like_the_store(tree))


@pytest.mark.parametrize("count", [2, 31, 32, 33, 200])
@pytest.mark.parametrize("make", ["dict", "mapping"])
def test_of_repeated_keys_the_last_one_wins(mem, make, count):
    names = ["b", "sam", "a", "sam\x00", "settings_a", "settings_b"]
    pairs = [(names[i % 6] if make == "mapping" else DistinctStr(names[i % 6]), i) for i in range(count)]
    want = {}
    for k, v in pairs:
        want[str(k)] = v
    mem.set_value("t", dict(pairs) if make == "dict" else PairsMapping(pairs))
    assert same(mem.value("t"), sorted_like_the_store(want))
