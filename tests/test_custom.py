"""Custom drivers: the read/write protocol, calls back into the engine, and threads."""

import math
import resource
import sys
import threading
import time

import pytest

from _orn_core import OrnSettingEngine
from conftest import SANITIZED, Reported, Store, lying


class TestProtocol:
    def test_round_trip(self):
        store = Store({"a": 1})
        e = OrnSettingEngine("mem://x", store)
        assert e.value("a") == 1
        e.set_value("b", 2)
        assert store.writes == []
        e.sync()
        assert store.data == {"a": 1, "b": 2}
        assert store.reads == ["mem://x"] and store.writes == ["mem://x"]
        e.sync()
        assert len(store.reads) == 1 and len(store.writes) == 2

    def test_write_gets_sorted_fresh_data(self):
        original = {"z": {"y": 1, "b": [1]}, "a": 0}
        store = Store(original)
        e = OrnSettingEngine("p", store)
        original["z"]["y"] = 99
        e.sync()
        assert list(store.data) == ["a", "z"] and list(store.data["z"]) == ["b", "y"]
        assert store.data["z"]["y"] == 1
        store.data["z"]["b"].append(2)
        assert e.value("z/b") == [1]

    @pytest.mark.parametrize(
        "returned, message",
        [
            ({1: "a"}, "Failed to depythonize custom driver data: unexpected type: 'int' object is not an instance of 'str'"),
            ({"x": object()}, "Failed to depythonize custom driver data: unsupported type object"),
            ({"x": 2**64}, "Failed to depythonize custom driver data: JSON number out of range"),
            (range(2**62), "Failed to depythonize custom driver data: MemoryError: "),
            ({"x": Reported(10**6)}, "Failed to depythonize custom driver data: IndexError: 2"),
            (lying(list, 10**6, [1]), "Failed to depythonize custom driver data: IndexError: list index out of range"),
            (lying(dict, 10**6, {"a": 1}), "Failed to depythonize custom driver data: IndexError: list index out of range"),
        ],
    )
    def test_unconvertible_read_result(self, returned, message):
        with pytest.raises(TypeError) as err:
            OrnSettingEngine("p", Store(returned))
        assert err.value.args == (message,)

    def test_nan_becomes_null(self):
        e = OrnSettingEngine("p", Store({"x": float("nan")}))
        assert e.contains("x") and e.value("x") is None

    def test_exceptions_pass_through_unchanged(self):
        boom = KeyError("x")

        class Failing(Store):
            def read(self, path):
                raise boom

        with pytest.raises(KeyError) as err:
            OrnSettingEngine("p", Failing())
        assert err.value is boom

        store = Store()
        e = OrnSettingEngine("p", store)
        e.set_value("a", 1)
        failure = OSError(28, "No space left on device")

        def write(path, data):
            raise failure

        store.write = write
        with pytest.raises(OSError) as err:
            e.sync()
        assert err.value is failure
        assert e.value("") == {"a": 1}
        del store.write  # the class's write is looked up again at the next call
        e.sync()
        assert store.data == {"a": 1}

    @pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit])
    def test_interrupt_in_read_data_passes_through(self, kind):
        interrupt = kind()

        class Interrupting(Reported):
            def __getitem__(self, i):
                raise interrupt

        with pytest.raises(kind) as err:
            OrnSettingEngine("p", Store({"a": [Interrupting(1)]}))
        assert err.value is interrupt

    def test_write_result_is_ignored(self):
        class Returning(Store):
            def write(self, path, data):
                return False

        assert OrnSettingEngine("p", Returning()).sync() is None

    def test_missing_write_fails_only_at_sync(self):
        store = Store()
        e = OrnSettingEngine("p", store)
        store.write = None
        with pytest.raises(TypeError, match="'NoneType' object is not callable"):
            e.sync()


class TestReentry:
    def make(self, during_write):
        store = Store({"a": 1})
        e = OrnSettingEngine("p", store)
        seen = {}

        def write(path, data):
            seen.update(during_write(e))
            store.data = data

        store.write = write
        return e, store, seen

    def test_reads_work_inside_write(self):
        e, _, seen = self.make(lambda e: {
            "value": e.value("a"), "contains": e.contains("a"), "keys": e.all_keys(),
            "child_keys": e.child_keys(), "groups": e.child_groups(), "group": e.group(),
            "file_name": e.file_name(), "path": e.path,
        })
        e.sync()
        assert seen == {"value": 1, "contains": True, "keys": ["a"], "child_keys": ["a"],
                        "groups": [], "group": "", "file_name": "p", "path": "p"}

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda e: e.begin_group("g"), "Already borrowed"),
            (lambda e: e.end_group(), "Already borrowed"),
            (lambda e: e.set_value("b", 2), None),
            (lambda e: e.remove("a"), None),
            (lambda e: e.clear(), None),
        ],
    )
    def test_changes_are_refused_inside_write(self, call, message):
        def attempt(e):
            with pytest.raises(RuntimeError) as err:
                call(e)
            return {"message": str(err.value)}

        e, store, seen = self.make(attempt)
        e.sync()
        if message is not None:
            assert seen["message"] == message
        else:
            assert "sync" in seen["message"]
        assert e.value("") == {"a": 1} and store.data == {"a": 1}
        # Once sync has returned, everything works again.
        e.begin_group("g")
        e.set_value("b", 2)
        e.end_group()
        e.clear()
        assert e.value("") == {}

    def test_nested_sync_inside_write(self):
        calls = []
        store = Store()
        e = OrnSettingEngine("p", store)

        def write(path, data):
            calls.append(data)
            if len(calls) == 1:
                e.sync()

        store.write = write
        e.sync()
        assert len(calls) == 2


class TestThreads:
    def test_shared_engine_under_thread_switches(self):
        sys_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        store = Store()

        def write(path, data):
            time.sleep(0.0005)  # gives up the interpreter lock inside sync
            store.data = data

        store.write = write
        e = OrnSettingEngine("p", store)
        last = {}
        unexpected = []
        threads_n, rounds = 8, 300

        def worker(t):
            for i in range(rounds):
                key = f"t{t}/k{i % 5}"
                try:
                    op = i % 7
                    if op in (0, 1, 2):
                        e.set_value(key, i)
                        last[key] = i
                    elif op == 3:
                        e.value(key)
                        e.contains(key)
                    elif op == 4:
                        # Groups are shared by all threads; empty names push nothing, so the
                        # exclusive access is exercised without moving anyone's keys.
                        e.begin_group("/")
                        e.end_group()
                    elif op == 5:
                        e.all_keys()
                        e.sync()
                    else:
                        e.remove(f"t{t}/gone")
                except RuntimeError as err:
                    if str(err) not in ("Already borrowed", "Already mutably borrowed") and "another call" not in str(err):
                        unexpected.append(err)
                except Exception as err:  # pragma: no cover - reported below
                    unexpected.append(err)

        try:
            threads = [threading.Thread(target=worker, args=(t,)) for t in range(threads_n)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=60)
            assert not any(t.is_alive() for t in threads), "a thread hung"
        finally:
            sys.setswitchinterval(sys_interval)
        assert unexpected == []
        for key, value in last.items():
            assert e.value(key) == value
        e.sync()
        assert e.value("") == store.data


class TestReferences:
    def test_driver_references_are_released(self):
        class Driver:
            mode = "ok"

            def read(self, path):
                if self.mode == "read":
                    raise ValueError("no")
                if self.mode == "convert":
                    return {"x": object()}
                return {"a": [1, {"b": "c"}]}

            def write(self, path, data):
                if self.mode == "write":
                    raise ValueError("no")

        driver = Driver()
        start = sys.getrefcount(driver)

        def burn(n):
            for i in range(n):
                driver.mode = ("ok", "read", "convert", "write")[i % 4]
                try:
                    e = OrnSettingEngine("p", driver)
                    driver.mode = "write" if i % 8 == 3 else "ok"
                    e.set_value("n", i)
                    e.sync()
                except (ValueError, TypeError):
                    pass

        burn(2_000)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        burn(10_000)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert sys.getrefcount(driver) == start
        if not SANITIZED:  # sanitizers hold freed memory in quarantine
            assert after - before < 2048  # KiB
