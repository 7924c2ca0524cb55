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
