import collections.abc
import math
import os

import pytest

from _orn_core import OrnSettingEngine

# Set when the suite runs against the sanitizer build (see test_sanitized.py).
SANITIZED = os.environ.get("ORN_SANITIZED") == "1"


@pytest.fixture
def mem():
    """A fresh in-memory engine."""
    return OrnSettingEngine("unused.json", "memory")


class Store:
    """A custom driver keeping the store in a Python attribute, counting calls."""

    def __init__(self, data=None):
        self.data = {} if data is None else data
        self.reads = []
        self.writes = []

    def read(self, path):
        self.reads.append(path)
        return self.data

    def write(self, path, data):
        self.writes.append(path)
        self.data = data


@pytest.fixture
def store():
    return Store()


def same(got, want):
    """Equal with the exact types, float signs and dict key order."""
    if type(got) is not type(want):
        return False
    if isinstance(want, float):
        return got == want and math.copysign(1, got) == math.copysign(1, want)
    if isinstance(want, list):
        return len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))
    if isinstance(want, dict):
        return list(got) == list(want) and all(same(got[k], want[k]) for k in want)
    return got == want


class Reported(collections.abc.Sequence):
    """Two items behind a __len__ that reports `length`."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if i < 2:
            return i
        raise IndexError(i)


def lying(base, length, *args):
    """An instance of a subclass of base whose __len__ reports length."""
    return type("Lying" + base.__name__.title(), (base,), {"__len__": lambda self: length})(*args)
