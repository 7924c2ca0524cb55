"""What every file format shares: sync refuses a tree its reader would not load back, readers
take the file that loading opened, and refusals come without reading everything."""

import os
import subprocess
import sys
import textwrap

import pytest

from _orn_core import OrnSettingEngine
from conftest import SANITIZED

JSON_LIMIT = 127  # the JSON reader refuses a 128th nested array or object


def nested_lists(depth, leaf=1):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def refusal(depth, limit=JSON_LIMIT):
    return (f"JSON cannot store this tree: it nests {depth} levels deep and JSON files are read "
            f"back to at most {limit} levels",)


class TestNestingLimit:
    # The root mapping is a level of its own: a key of n segments nests n mappings.
    @pytest.mark.parametrize(
        "key, value, depth",
        [
            ("/".join(["g"] * JSON_LIMIT), 1, JSON_LIMIT),
            ("/".join(["g"] * (JSON_LIMIT - 1)), {}, JSON_LIMIT),
            ("/".join(["g"] * (JSON_LIMIT - 2)), [[]], JSON_LIMIT),
            ("v", nested_lists(JSON_LIMIT - 1), JSON_LIMIT),
            ("v", nested_lists(JSON_LIMIT - 3, {"k": []}), JSON_LIMIT),
        ],
    )
    def test_deepest_loadable_tree_round_trips(self, tmp_path, key, value, depth):
        path = tmp_path / "s.json"
        e = OrnSettingEngine(str(path))
        e.set_value(key, value)
        e.sync()
        assert OrnSettingEngine(str(path)).value(key) == value

    @pytest.mark.parametrize(
        "key, value, depth",
        [
            ("/".join(["g"] * (JSON_LIMIT + 1)), 1, JSON_LIMIT + 1),
            ("/".join(["g"] * JSON_LIMIT), {}, JSON_LIMIT + 1),
            ("/".join(["g"] * JSON_LIMIT), [], JSON_LIMIT + 1),
            ("v", nested_lists(JSON_LIMIT), JSON_LIMIT + 1),
            ("v", nested_lists(JSON_LIMIT - 2, {"k": []}), JSON_LIMIT + 1),
            ("a", [1, {"b": nested_lists(300)}, 2], 303),
        ],
    )
    def test_one_level_more_is_refused_and_changes_nothing(self, tmp_path, key, value, depth):
        path = tmp_path / "s.json"
        path.write_text('{"old": 1}')
        e = OrnSettingEngine(str(path))
        e.set_value(key, value)
        with pytest.raises(TypeError) as err:
            e.sync()
        assert err.value.args == refusal(depth)
        assert path.read_text() == '{"old": 1}'
        assert os.listdir(tmp_path) == ["s.json"]
        e.remove(key.split("/")[0])
        e.sync()
        assert OrnSettingEngine(str(path)).value("") == {"old": 1}

    def test_refused_before_directories_are_made(self, tmp_path):
        e = OrnSettingEngine(str(tmp_path / "new" / "s.json"))
        e.set_value("v", nested_lists(JSON_LIMIT))
        with pytest.raises(TypeError):
            e.sync()
        assert os.listdir(tmp_path) == []

    def test_a_very_deep_tree_is_measured_without_recursion(self, tmp_path):
        e = OrnSettingEngine(str(tmp_path / "s.json"))
        e.set_value("/".join(["g"] * 200_000), 1)
        with pytest.raises(TypeError) as err:
            e.sync()
        assert err.value.args == refusal(200_000)


class TestInvalidNumber:
    # A sign, point or exponent mark that no digit follows: at the end of the input nothing more
    # is read, elsewhere the byte that shows it counts as read.
    @pytest.mark.parametrize(
        "text, column",
        [
            ("-", 1), ("1.", 2), ("1e", 2), ("1E+", 3), ("1e-", 3), ("[-", 2), ("[0.", 3),
            ('{"a": 2e', 8), ("  -", 3),
            ("-x", 2), ("1.x", 3), ("1e]", 3), ("1e+ ", 4), ("[-]", 3), ("[1.e5]", 4), ("--1", 2),
        ],
    )
    def test_message_and_position(self, tmp_path, text, column):
        path = tmp_path / "s.json"
        path.write_text(text)
        with pytest.raises(TypeError) as err:
            OrnSettingEngine(str(path))
        assert err.value.args == (f"JSON parse error: invalid number at line 1 column {column}",)


def run_child(script, timeout=20):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=timeout)


class TestReadingTheOpenedFile:
    @pytest.mark.parametrize(
        "kind, content, outcome",
        [
            ("json5", b"{a: [1,],}", "loaded {'a': [1]}"),
            ("toml", b"a = 1", "loaded {'a': 1}"),
            ("json5", b"'\xff'", "OSError stream did not contain valid UTF-8"),
            ("toml", b"a = '\xc3'", "OSError stream did not contain valid UTF-8"),
            ("json", b'{"a": [1]}', "loaded {'a': [1]}"),
            ("yaml", b"a: [1]\n", "loaded {'a': [1]}"),
            ("yaml", b"a: [1\n", "TypeError YAML parse error: did not find expected ',' or ']' at line 2 "
                              "column 1, while parsing a flow sequence at line 1 column 4"),
        ],
    )
    def test_a_fifo_is_read_once(self, tmp_path, kind, content, outcome):
        # A FIFO yields its bytes to the one reader that opened it: opening the path a second time
        # would wait for a writer that never comes.
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        writer = subprocess.Popen(["sh", "-c", 'cat > "$0"', str(fifo)], stdin=subprocess.PIPE)
        writer.stdin.write(content)
        writer.stdin.close()
        child = run_child(f"""
            from _orn_core import OrnSettingEngine
            try:
                print("loaded", OrnSettingEngine({str(fifo)!r}, {kind!r}).value(""))
            except Exception as e:
                print(type(e).__name__, e)
        """)
        writer.wait(timeout=10)
        assert child.stdout.strip() == outcome

    # The address-space cap that stops a regression from eating the machine's memory would also
    # stop AddressSanitizer's shadow memory.
    @pytest.mark.skipif(SANITIZED, reason="AddressSanitizer needs an unlimited address space")
    def test_yaml_refuses_an_endless_file_of_zeros_without_reading_it_all(self):
        child = run_child("""
            import resource
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
            from _orn_core import OrnSettingEngine
            try:
                OrnSettingEngine("/dev/zero", "yaml")
            except TypeError as e:
                print(e)
        """)
        assert child.stdout.strip() == "YAML parse error: control characters are not allowed"
