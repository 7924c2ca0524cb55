"""The module, its class, argument handling and driver selection."""

import gc
import importlib
import io
import os
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import _orn_core
from conftest import SANITIZED
from _orn_core import OrnSettingEngine


class TestModule:
    def test_attributes(self):
        assert _orn_core.__all__ == ["OrnSettingEngine"]
        assert _orn_core.__doc__ == ""
        assert OrnSettingEngine.__module__ == "builtins"
        assert OrnSettingEngine.__name__ == OrnSettingEngine.__qualname__ == "OrnSettingEngine"
        public = {name for name in vars(_orn_core) if not name.startswith("__")}
        assert public == {"OrnSettingEngine"}

    def test_reimport_gives_the_same_class(self):
        saved = sys.modules.pop("_orn_core")
        try:
            again = importlib.import_module("_orn_core")
            assert again is not saved
            assert again.OrnSettingEngine is OrnSettingEngine
            assert again.__all__ == ["OrnSettingEngine"]
        finally:
            sys.modules["_orn_core"] = saved

    @pytest.mark.parametrize(
        "member, signature",
        [
            (OrnSettingEngine, "(path, driver=None)"),
            (OrnSettingEngine.value, "($self, key)"),
            (OrnSettingEngine.set_value, "($self, key, value)"),
            (OrnSettingEngine.begin_group, "($self, name)"),
            (OrnSettingEngine.end_group, "($self)"),
            (OrnSettingEngine.file_name, "($self)"),
        ],
    )
    def test_text_signatures(self, member, signature):
        assert member.__text_signature__ == signature

    def test_method_order(self):
        methods = [name for name, v in vars(OrnSettingEngine).items() if callable(v) and not name.startswith("__")]
        assert methods == [
            "begin_group", "end_group", "group", "contains", "value", "set_value", "remove",
            "all_keys", "child_keys", "child_groups", "clear", "sync", "status", "is_writable",
            "file_name",
        ]

    def test_class_is_closed(self, mem):
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (OrnSettingEngine,), {})
        with pytest.raises(AttributeError):
            mem.x = 1
        with pytest.raises(TypeError):
            weakref.ref(mem)
        with pytest.raises(AttributeError):
            mem.path = "x"
        with pytest.raises(AttributeError):
            del mem.path
        assert not gc.is_tracked(mem)

    def test_stub_matches_the_class(self):
        stub = Path(_orn_core.__file__).with_name("_orn_core.pyi")
        assert stub.exists(), "the type stub is installed beside the module"
        text = stub.read_text()
        for name in vars(OrnSettingEngine):
            if not name.startswith("__"):
                assert f"def {name}(" in text
        assert "def __new__(cls, path: builtins.str, driver: typing.Optional[typing.Any] = None)" in text

    def test_import_from_another_directory(self, tmp_path):
        out = subprocess.run(
            [sys.executable, "-c", "import _orn_core; print(_orn_core.OrnSettingEngine('x', 'memory').status())"],
            cwd=tmp_path, capture_output=True, text=True, check=True,
        )
        assert out.stdout.strip() == "0"


# 3.12 names the private module _xxsubinterpreters and raises a failed run; 3.13 names it
# _interpreters and returns the failure. Both print as "<class 'Name'>: message".
SUBINTERPRETERS = textwrap.dedent("""
    import sys
    from _orn_core import OrnSettingEngine

    if sys.version_info >= (3, 13):
        import _interpreters as interpreters

        def attempt(isolated):
            interpreter = interpreters.create("isolated" if isolated else "legacy")
            failure = interpreters.run_string(interpreter, "import _orn_core")
            if failure is not None:
                print(f"<class '{failure.type.__name__}'>: {failure.msg}")
            interpreters.destroy(interpreter)
    else:
        import _xxsubinterpreters as interpreters

        def attempt(isolated):
            interpreter = interpreters.create(isolated=isolated)
            try:
                interpreters.run_string(interpreter, "import _orn_core")
            except interpreters.RunFailedError as err:
                print(err)
            interpreters.destroy(interpreter)

    for isolated in (False, True):
        attempt(isolated)
    engine = OrnSettingEngine("x", "memory")
    engine.set_value("k", range(3))  # the collections.abc classes of this interpreter
    print(engine.value("k"))
""")

# The settings values need twice the memory of the list's item pointers: with little room left,
# the conversion's own allocation fails, not the interpreter's.
ALLOCATION_FAILURE = textwrap.dedent("""
    import resource
    from _orn_core import OrnSettingEngine

    engine = OrnSettingEngine("x", "memory")
    items = [None] * 20_000_000
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), hard))
    try:
        engine.set_value("k", items)
    except MemoryError as err:
        print("MemoryError", err.args)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    engine.set_value("k", [1])
    print(engine.value(""))
""")


# Trees, built and freed on several threads, across a failed conversion, a re-executed module
# and thread exits, under the interpreter's debug allocator: it aborts on a block that goes back
# to the wrong allocator or is handled without the interpreter lock.
TREES_ACROSS_THREADS = textwrap.dedent("""
    import importlib, sys, threading
    import _orn_core
    from _orn_core import OrnSettingEngine

    def build(out, i):
        engine = OrnSettingEngine("", "memory")
        engine.set_value("a", {f"k{j}": [j, "x" * 40, {"deep": [1.5] * 20}] for j in range(200)})
        try:
            engine.set_value("bad", [[1, 2, {"z": object()}]] * 3)
        except TypeError:
            pass
        out[i] = engine

    made = [None] * 4
    threads = [threading.Thread(target=build, args=(made, i)) for i in range(4)]
    for t in threads: t.start()
    for t in threads: t.join()
    sys.modules.pop("_orn_core")
    importlib.import_module("_orn_core").OrnSettingEngine("", "memory").set_value("k", [1] * 50)
    freed = threading.Thread(target=made.clear)
    freed.start(); freed.join()
    print("ok")
""")


# A tree's memory is counted by tracemalloc, and a freed tree's chunks serve the next one.
TREE_MEMORY_TRACED = textwrap.dedent("""
    import tracemalloc
    from _orn_core import OrnSettingEngine

    data = {f"k{i}": "x" * 50 + str(i) for i in range(100_000)}
    tracemalloc.start()

    def traced_tree():
        engine = OrnSettingEngine("", "memory")
        before = tracemalloc.get_traced_memory()[0]
        engine.set_value("data", data)
        grown = tracemalloc.get_traced_memory()[0] - before
        assert engine.value("data") == data
        return engine, grown

    first, grown = traced_tree()
    del first
    second, regrown = traced_tree()
    print(grown > 6_000_000, regrown < grown / 4)

    # The module run again, under another setting, keeps the memory its trees came from.
    import importlib, os, sys
    os.environ["PYTHONMALLOC"] = "debug"
    sys.modules.pop("_orn_core")
    importlib.import_module("_orn_core").OrnSettingEngine("", "memory").set_value("k", [1] * 50)
    del second
    print("ok")
""")


class TestProcess:
    def test_subinterpreters_are_refused(self):
        run = subprocess.run([sys.executable, "-c", SUBINTERPRETERS], capture_output=True, text=True,
                             timeout=60)
        assert run.returncode == 0, run.stderr[-3000:]
        refused = "<class 'ImportError'>: module _orn_core does not support loading in subinterpreters"
        assert run.stdout.splitlines() == [refused, refused, "[0, 1, 2]"]
        assert run.stderr == ""

    @pytest.mark.skipif(SANITIZED, reason="ASan's operator new aborts instead of throwing, and "
                        "its shadow memory defeats an address-space limit")
    def test_failed_allocation_raises_memory_error(self):
        run = subprocess.run([sys.executable, "-c", ALLOCATION_FAILURE], capture_output=True,
                             text=True, timeout=60)
        assert run.returncode == 0, run.stderr[-3000:]
        assert run.stdout.splitlines() == ["MemoryError ()", "{'k': [1]}"]


    @pytest.mark.skipif(SANITIZED, reason="the sanitizer run hands every block to malloc")
    def test_tree_memory_is_traced_and_reused(self):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
        run = subprocess.run([sys.executable, "-c", TREE_MEMORY_TRACED], capture_output=True,
                             text=True, timeout=120, env=env)
        assert run.returncode == 0, run.stderr[-3000:]
        assert run.stdout == "True True\nok\n"

    @pytest.mark.skipif(SANITIZED, reason="the sanitizer run hands every block to malloc")
    def test_trees_keep_to_the_interpreters_allocator(self):
        run = subprocess.run([sys.executable, "-c", TREES_ACROSS_THREADS], capture_output=True,
                             text=True, timeout=120, env=dict(os.environ, PYTHONMALLOC="debug"))
        assert run.returncode == 0, run.stderr[-3000:]
        assert run.stdout == "ok\n"


class TestInformation:
    def test_path_is_kept_verbatim(self):
        e = OrnSettingEngine("~/x.json", "memory")
        assert e.file_name() == e.path == "~/x.json"
        assert e.status() == 0 and e.is_writable() is True

    def test_wrong_receiver(self, mem):
        with pytest.raises(TypeError) as err:
            OrnSettingEngine.file_name(5)
        assert "'int'" in str(err.value)


E = "OrnSettingEngine"


class TestArguments:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: OrnSettingEngine(), f"{E}.__new__() missing 1 required positional argument: 'path'"),
            (lambda: OrnSettingEngine("a.json", "json", "x"),
             f"{E}.__new__() takes from 1 to 2 positional arguments but 3 were given"),
            (lambda: OrnSettingEngine("a", "memory", path="b"), f"{E}.__new__() got multiple values for argument 'path'"),
            (lambda: OrnSettingEngine("a", drive="memory"), f"{E}.__new__() got an unexpected keyword argument 'drive'"),
            (lambda: OrnSettingEngine(b"x"), "argument 'path': 'bytes' object is not an instance of 'str'"),
            (lambda: OrnSettingEngine(None), "argument 'path': 'None' is not an instance of 'str'"),
        ],
    )
    def test_constructor(self, call, message):
        with pytest.raises(TypeError) as err:
            call()
        assert err.value.args == (message,)

    @pytest.mark.parametrize(
        "method, args, kwargs, message",
        [
            ("set_value", ("a",), {}, f"{E}.set_value() missing 1 required positional argument: 'value'"),
            ("set_value", (), {}, f"{E}.set_value() missing 2 required positional arguments: 'key' and 'value'"),
            ("value", (), {"k": "a"}, f"{E}.value() got an unexpected keyword argument 'k'"),
            ("value", ("a",), {"key": "b"}, f"{E}.value() got multiple values for argument 'key'"),
            ("value", ("a", "b"), {}, f"{E}.value() takes 1 positional arguments but 2 were given"),
            ("set_value", ("a", 1, 2), {}, f"{E}.set_value() takes 2 positional arguments but 3 were given"),
            ("value", (1,), {}, "argument 'key': 'int' object is not an instance of 'str'"),
            ("value", (None,), {}, "argument 'key': 'None' is not an instance of 'str'"),
            ("begin_group", (1.5,), {}, "argument 'name': 'float' object is not an instance of 'str'"),
            ("remove", (), {"key": b"x"}, "argument 'key': 'bytes' object is not an instance of 'str'"),
        ],
    )
    def test_methods(self, mem, method, args, kwargs, message):
        with pytest.raises(TypeError) as err:
            getattr(mem, method)(*args, **kwargs)
        assert err.value.args == (message,)

    def test_conversion_error_has_no_cause(self, mem):
        with pytest.raises(TypeError) as err:
            mem.value(1)
        assert err.value.__cause__ is None and err.value.__suppress_context__

    def test_keywords_are_accepted(self, mem):
        mem.set_value(key="a", value=1)
        assert mem.value(key="a") == mem.value("a") == 1
        mem.begin_group(name="g")
        assert mem.group() == "g"

    def test_lone_surrogate_is_raised_unchanged(self, mem):
        with pytest.raises(UnicodeEncodeError):
            mem.value("\udc80")
        with pytest.raises(UnicodeEncodeError):
            OrnSettingEngine("\udc80", "memory")

    def test_noargs_method_rejects_arguments(self, mem):
        with pytest.raises(TypeError, match=r"takes no arguments"):
            mem.group(1)


class Hooked:
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        raise self.exc


class NoAttributes:
    def __getattr__(self, name):
        raise AttributeError(name)


class OnlyRead:
    def read(self, path):
        return {}


class OnlyWrite:
    def write(self, path, data):
        pass


class OddDriver:
    read = 5
    write = None


class NamedStr(str):
    def lower(self):
        raise AssertionError("a subclass's lower must not be called")


class TestDriverSelection:
    @pytest.mark.parametrize("name", ["JSON", "Json", "json", "YAML", "JSON5", "Memory", "toml", NamedStr("Toml")])
    def test_names_in_any_case(self, name, tmp_path):
        OrnSettingEngine(str(tmp_path / "missing"), name)

    @pytest.mark.parametrize("name", ["yml", "YML", "js", "jsonc", " json", "json ", "", ".json"])
    def test_unknown_names(self, name):
        with pytest.raises(ValueError) as err:
            OrnSettingEngine("x", name)
        assert err.value.args == ("Unknown driver: " + name,)

    @pytest.mark.parametrize("driver", ["js\udc80on", b"json", 5, OnlyRead(), OnlyWrite(), object()])
    def test_not_a_driver(self, driver):
        with pytest.raises(TypeError) as err:
            OrnSettingEngine("x", driver)
        assert err.value.args == ("Driver must be a string (name) or an object with 'read' and 'write' methods",)

    def test_attribute_hook_errors_pass_through(self):
        boom = KeyError("read")
        with pytest.raises(KeyError) as err:
            OrnSettingEngine("x", Hooked(boom))
        assert err.value is boom
        with pytest.raises(TypeError, match="Driver must be"):
            OrnSettingEngine("x", Hooked(AttributeError("nope")))

    def test_odd_attributes_are_accepted_by_selection(self):
        # Selection accepts it; the failure comes from calling read = 5.
        with pytest.raises(TypeError, match="'int' object is not callable"):
            OrnSettingEngine("x", OddDriver())

    def test_a_class_is_a_driver(self):
        class Klass:
            @staticmethod
            def read(path):
                return {"k": path}

            @staticmethod
            def write(path, data):
                pass

        assert OrnSettingEngine("p", Klass).value("k") == "p"

    def test_text_stream_is_accepted(self):
        with pytest.raises(TypeError):
            # io.StringIO.read takes a size, not a path
            OrnSettingEngine("x", io.StringIO())

    def test_default_is_json(self, tmp_path):
        path = tmp_path / "settings.yaml"
        path.write_text('{"a": 1}')
        for e in (OrnSettingEngine(str(path)), OrnSettingEngine(str(path), None),
                  OrnSettingEngine(str(path), driver=None), OrnSettingEngine(str(path), "json")):
            assert e.value("a") == 1

    def test_memory_ignores_existing_file(self, tmp_path):
        path = tmp_path / "does.json"
        path.write_text('{"a": 1}')
        e = OrnSettingEngine(str(path), "memory")
        assert e.value("") == {}
        e.set_value("b", 2)
        e.sync()
        assert path.read_text() == '{"a": 1}'
        assert not (tmp_path / "nope").exists()


class TestReferences:
    def test_no_leaks_over_many_engines(self):
        marker = OddDriver()
        failing = NoAttributes()
        start = (sys.getrefcount(marker), sys.getrefcount(failing))
        for _ in range(100_000):
            OrnSettingEngine("x", "memory")
            with pytest.raises(TypeError):
                OrnSettingEngine("x", marker)
            with pytest.raises(TypeError):
                OrnSettingEngine("x", failing)
        assert (sys.getrefcount(marker), sys.getrefcount(failing)) == start

    def test_memory_is_stable(self):
        import resource

        def burn():
            for _ in range(50_000):
                e = OrnSettingEngine("x", "memory")
                e.set_value("a/b", [1, "x", {"y": 2.5}])
                with pytest.raises(TypeError):
                    OrnSettingEngine("x", OnlyRead())

        burn()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        burn()
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if not SANITIZED:  # sanitizers hold freed memory in quarantine
            assert after - before < 2048  # KiB
