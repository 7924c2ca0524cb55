"""Random sequences of engine operations agree with a small pure-Python model of the tree."""

import copy

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from _orn_core import OrnSettingEngine
from conftest import Store

pieces = st.sampled_from(["a", "b", "a-b", " ", "é"])
keys = st.lists(st.sampled_from(["a", "b", "a-b", " ", "é", ""]), max_size=4).map("/".join)
names = st.sampled_from(["a", "b", "/a/", "a/b", "", "//", "é"])
values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(pieces, inner, max_size=3),
    max_leaves=6,
)


class Model:
    def __init__(self):
        self.root = {}
        self.groups = []

    def path(self, key):
        path = self.groups + [p for p in key.split("/") if p]
        if not path:
            raise KeyError("Key is empty")
        return path

    def parent(self, segments):
        node = self.root
        for seg in segments:  # check first: a failing walk creates nothing
            if seg not in node:
                break
            if not isinstance(node[seg], dict):
                raise TypeError("Path segment is not an object")
            node = node[seg]
        node = self.root
        for seg in segments:
            node = node.setdefault(seg, {})
        return node


def expect(model_call, engine_call):
    try:
        result = model_call()
    except (KeyError, TypeError) as err:
        try:
            engine_call()
        except type(err) as got:
            assert got.args == err.args
            return
        raise AssertionError(f"engine did not raise {err!r}")
    engine_call()
    return result


class EngineMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.store = Store()
        self.engine = OrnSettingEngine("model", self.store)
        self.model = Model()

    @rule(key=keys, value=values)
    def set_value(self, key, value):
        def model():
            path = self.model.path(key)
            self.model.parent(path[:-1])[path[-1]] = copy.deepcopy(value)

        expect(model, lambda: self.engine.set_value(key, value))

    @rule(key=keys)
    def remove(self, key):
        def model():
            path = self.model.path(key)
            self.model.parent(path[:-1]).pop(path[-1], None)

        expect(model, lambda: self.engine.remove(key))

    @rule(name=names)
    def begin_group(self, name):
        if name.strip("/"):
            self.model.groups.append(name.strip("/"))
        self.engine.begin_group(name)

    @rule()
    def end_group(self):
        if self.model.groups:
            self.model.groups.pop()
        self.engine.end_group()

    @rule()
    def clear(self):
        expect(lambda: self.model.parent(self.model.groups).clear(), self.engine.clear)

    @invariant()
    def agrees(self):
        assert self.engine.group() == "/".join(self.model.groups)
        self.engine.sync()  # hands over the whole tree, whatever the current group
        assert self.store.data == normalised(self.model.root)
        assert list(self.store.data) == list(normalised(self.model.root))


def normalised(value):
    if isinstance(value, dict):
        return {k: normalised(value[k]) for k in sorted(value, key=str.encode)}
    if isinstance(value, (list, tuple)):
        return [normalised(v) for v in value]
    if isinstance(value, float) and (value != value or value in (float("inf"), float("-inf"))):
        return None
    return value


TestEngineModel = EngineMachine.TestCase
TestEngineModel.settings = settings(max_examples=150, stateful_step_count=30, deadline=None)
