"""Python objects into the settings tree and back, through set_value and value."""

import collections
import dataclasses
import datetime
import decimal
import enum
import math
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

from _orn_core import OrnSettingEngine
from conftest import same

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


def nested_list(depth):
    obj = []
    for _ in range(depth):
        obj = [obj]
    return obj


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

    def test_to_python(self, mem):
        mem.set_value("/".join(["a"] * 100_000), 1)
        for key in ("", "a/a"):
            with pytest.raises(TypeError) as exc:
                mem.value(key)
            assert str(exc.value) == RECURSION
        assert mem.value("/".join(["a"] * 99_999)) == {"a": 1}


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
