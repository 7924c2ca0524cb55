"""The orn-settings command line, run as the installed console script."""

import functools
import itertools
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from conftest import same
from _orn_core import OrnSettingEngine

COMMAND = Path(sys.executable).with_name("orn-settings")
FORMATS = {"json": ".json", "json5": ".json5", "toml": ".toml", "yaml": ".yaml"}


def run(*args, cwd, code=0):
    done = subprocess.run([str(COMMAND), *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == code, done.stderr
    assert "Traceback" not in done.stderr
    return done


def fails(*args, cwd):
    """The one line the command printed to stderr for a user error; nothing went to stdout."""
    done = run(*args, cwd=cwd, code=1)
    assert done.stdout == ""
    return done.stderr


def load(path, driver="json"):
    return OrnSettingEngine(str(path), driver).value("")


def save(path, tree, driver="json"):
    engine = OrnSettingEngine(str(path), driver)
    for key, value in tree.items():
        engine.set_value(key, value)
    engine.sync()


@functools.cache
def not_built(driver):
    """Why a format cannot be used yet, or None once its reader and writer exist."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "probe")
        try:
            save(path, {"a": 1}, driver)
            load(path, driver)
        except TypeError as err:
            if "by this build yet" in str(err):
                return str(err)
            raise
    return None


def need(*drivers):
    for driver in drivers:
        if reason := not_built(driver):
            pytest.skip(reason)


def test_the_command_is_installed():
    assert COMMAND.exists(), "orn-settings is installed beside the interpreter"
    done = run("--help", cwd=".")
    assert done.stdout.startswith("usage: orn-settings")


class TestValues:
    # JSON_VALUE goes through the engine's own JSON reader, and get prints what it stored.
    @pytest.mark.parametrize("text, stored, printed", [
        ("1", 1, "1"),
        ("-0", -0.0, "-0.0"),
        ("2.50", 2.5, "2.5"),
        ("1e16", 1e16, "1e+16"),
        ("0.1", 0.1, "0.1"),
        ("18446744073709551615", 2**64 - 1, "18446744073709551615"),
        ("18446744073709551616", 2.0**64, "1.8446744073709552e+19"),
        ("-9223372036854775808", -2**63, "-9223372036854775808"),
        ('"\\u00e9\\u0000\\ud83d\\ude00"', "é\0😀", '"é\\u0000😀"'),
        ("[]", [], "[]"),
        ('{"b": [true, null], "a": {}}', {"a": {}, "b": [True, None]},
         '{\n  "a": {},\n  "b": [\n    true,\n    null\n  ]\n}'),
    ])
    def test_set_then_get(self, tmp_path, text, stored, printed):
        run("set", "s.json", "g/k", text, cwd=tmp_path)
        assert same(load(tmp_path / "s.json"), {"g": {"k": stored}})
        assert run("get", "s.json", "g/k", cwd=tmp_path).stdout == printed + "\n"

    def test_get_a_group_and_the_root(self, tmp_path):
        save(tmp_path / "s.json", {"a": {"y": 1, "x": 2}, "b": "t"})
        assert run("get", "s.json", "a", cwd=tmp_path).stdout == '{\n  "x": 2,\n  "y": 1\n}\n'
        root = run("get", "s.json", "", cwd=tmp_path).stdout
        assert root.startswith('{\n  "a": {') and root.endswith('  "b": "t"\n}\n')

    def test_set_creates_the_file_and_its_folders(self, tmp_path):
        run("set", "d/e/s.json", "k", "1", cwd=tmp_path)
        assert (tmp_path / "d/e/s.json").read_text() == '{\n  "k": 1\n}'

    def test_remove(self, tmp_path):
        save(tmp_path / "s.json", {"a": {"x": 1, "y": 2}})
        run("remove", "s.json", "a/x", cwd=tmp_path)
        assert load(tmp_path / "s.json") == {"a": {"y": 2}}

    def test_keys(self, tmp_path):
        save(tmp_path / "s.json", {"b": 1, "a": {"y": {"z": 1}, "x": [1]}})
        assert run("keys", "s.json", cwd=tmp_path).stdout == "a/x\na/y/z\nb\n"
        assert run("keys", "s.json", "a", cwd=tmp_path).stdout == "x\ny/z\n"
        assert run("keys", "s.json", "nothing", cwd=tmp_path).stdout == ""

    @pytest.mark.parametrize("name, options", [
        ("s.conf", ["--driver", "json"]),
        ("S.JSON", []),
        ("s.yaml", ["--driver", "JSON"]),  # the option wins over the extension
    ])
    def test_driver_choice(self, tmp_path, name, options):
        run("set", name, "k", "[1]", *options, cwd=tmp_path)
        assert load(tmp_path / name) == {"k": [1]}
        assert run("get", name, "k", *options, cwd=tmp_path).stdout == "[\n  1\n]\n"

    def test_the_memory_driver_keeps_nothing(self, tmp_path):
        run("set", "s.json", "k", "1", "--driver", "memory", cwd=tmp_path)
        assert not (tmp_path / "s.json").exists()
        assert run("keys", "s.json", "--driver", "memory", cwd=tmp_path).stdout == ""


class TestErrors:
    @pytest.mark.parametrize("args, message", [
        (["get", "missing.json", "k"], "missing.json: no such file"),
        (["keys", "missing.json"], "missing.json: no such file"),
        (["remove", "missing.json", "k"], "missing.json: no such file"),
        (["get", "s.json", "nope"], "s.json: no value at 'nope'"),
        (["get", "s.json", "k/deeper"], "s.json: no value at 'k/deeper'"),
        (["remove", "s.json", "nope"], "s.json: no value at 'nope'"),
        (["set", "s.json", "k", "{bad"],
         "JSON_VALUE is not JSON: JSON parse error: key must be a string at line 1 column 2"),
        (["set", "s.json", "k", "NaN"],
         "JSON_VALUE is not JSON: JSON parse error: expected value at line 1 column 1"),
        (["set", "s.json", "k", "1e400"],
         "JSON_VALUE is not JSON: JSON parse error: number out of range at line 1 column 5"),
        (["set", "s.json", "k", "1 2"],
         "JSON_VALUE is not JSON: JSON parse error: trailing characters at line 1 column 3"),
        (["set", "s.json", "", "1"], "Key is empty"),
        (["set", "s.json", "k/x", "1"], "Path segment is not an object"),
        (["get", "s.conf", "k"], "cannot tell the format of 's.conf' from its extension; name it "
                                 "with --driver (json, json5, toml or yaml)"),
        (["convert", "s.json", "out"], "cannot tell the format of 'out' from its extension; name it "
                                       "with --to (json, json5, toml or yaml)"),
        (["get", "s.json", "k", "--driver", "ini"], "Unknown driver: ini"),
        (["get", "bad.json", "k"], "bad.json: JSON parse error: expected `,` or `}` at line 1 "
                                   "column 9"),
        (["get", "folder.json", "k"], "folder.json: JSON parse error: Is a directory (os error 21)"),
        (["set", "plain/s.json", "k", "1"],
         "plain/s.json: Failed to open config file: Not a directory (os error 20)"),
        (["set", "pp/qq/", "k", "1", "--driver", "json"], "cannot save pp/qq/: Is a directory "
                                                          "(os error 21)"),
        (["convert", "list.json", "out.json"], "cannot convert list.json: its root is a list, "
                                               "not a mapping"),
        (["convert", "slash.json", "out.json"], "cannot convert slash.json: the top-level key 'a/b' "
                                                "cannot be named by a key path"),
        (["convert", "empty-key.json", "out.json"], "cannot convert empty-key.json: the top-level key "
                                                    "'' cannot be named by a key path"),
        (["convert", "s.json", "bad.json"], "bad.json: JSON parse error: expected `,` or `}` at "
                                            "line 1 column 9"),
    ])
    def test_user_errors(self, tmp_path, args, message):
        save(tmp_path / "s.json", {"k": 1})
        (tmp_path / "bad.json").write_text('{"a": 1 "b": 2}')
        (tmp_path / "folder.json").mkdir()
        (tmp_path / "plain").write_text("")
        (tmp_path / "list.json").write_text("[1]")
        (tmp_path / "slash.json").write_text('{"a/b": 1}')
        (tmp_path / "empty-key.json").write_text('{"": 1}')
        before = {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()}
        assert fails(*args, cwd=tmp_path) == f"orn-settings: {message}\n"
        assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.is_file()} == before

    @pytest.mark.parametrize("args", [[], ["get", "s.json"], ["frobnicate"], ["keys", "a", "b", "c"]])
    def test_usage_errors(self, tmp_path, args):
        done = run(*args, cwd=tmp_path, code=2)
        assert done.stderr.startswith("usage: orn-settings")


# Every kind of value each format holds: numbers in all their forms, odd keys below the top level,
# escapes, empty containers and a TOML date-time as the engine carries it. No null: TOML has none.
TREE = {
    "numbers": {"zero": 0, "max": 2**64 - 1, "min": -2**63, "neg_zero": -0.0, "tenth": 0.1,
                "big": 1e16, "whole": 2.0, "tiny": 5e-324},
    "text": {"": "empty key", "a/b": "slash key", "é": "tab\tquote\"backslash\\", "nul": "x\0y",
             "emoji": "😀", "spaces": "  both ends  "},
    "lists": [[], [1, "two", 3.0, True, False], [{"in": "table"}, {"in": {}}]],
    "empty": {},
    "when": {"$__toml_private_datetime": "1979-05-27T07:32:00Z"},
}


def as_stored(tree, json5=False):
    """tree as a settings file gives it back: keys in byte order and, from a JSON5 file, an
    integral float in the integer range as an int (-0.0 as 0), since JSON5 files write it so."""
    if json5 and isinstance(tree, float) and tree.is_integer() and -2**63 <= tree < 2**64:
        return int(tree)
    if isinstance(tree, list):
        return [as_stored(item, json5) for item in tree]
    if isinstance(tree, dict):
        return {key: as_stored(tree[key], json5) for key in sorted(tree, key=str.encode)}
    return tree


class TestConvert:
    def test_json_to_json_is_the_engine_text(self, tmp_path):
        save(tmp_path / "a.json", TREE)
        run("convert", "a.json", "b.txt", "--to", "json", cwd=tmp_path)
        assert (tmp_path / "b.txt").read_bytes() == (tmp_path / "a.json").read_bytes()

    def test_an_existing_target_is_replaced_whole(self, tmp_path):
        save(tmp_path / "a.json", {"new": {"x": 1}})
        save(tmp_path / "b.json", {"old": 1, "new": {"y": 2}})
        run("convert", "a.json", "b.json", cwd=tmp_path)
        assert load(tmp_path / "b.json") == {"new": {"x": 1}}

    @pytest.mark.parametrize("source, target", list(itertools.permutations(FORMATS, 2)))
    def test_between_formats(self, tmp_path, source, target):
        need(source, target)
        a, b = f"a{FORMATS[source]}", f"b{FORMATS[target]}"
        save(tmp_path / a, TREE, source)
        run("convert", a, b, cwd=tmp_path)
        want = as_stored(TREE, json5="json5" in (source, target))
        assert same(load(tmp_path / b, target), want)
        if source != "json5":
            assert same(load(tmp_path / b, target), load(tmp_path / a, source)) == (target != "json5")

    @pytest.mark.parametrize("target", ["json", "json5", "yaml"])
    def test_toml_dates_travel_as_carriers(self, tmp_path, target):
        need("toml", target)
        (tmp_path / "a.toml").write_text("d = 1979-05-27\nt = 07:32:00\nw = 1979-05-27 07:32:00+01:00\n")
        run("convert", "a.toml", f"b{FORMATS[target]}", cwd=tmp_path)
        run("convert", f"b{FORMATS[target]}", "c.toml", cwd=tmp_path)
        carried = {"d": {"$__toml_private_datetime": "1979-05-27"},
                   "t": {"$__toml_private_datetime": "07:32:00"},
                   "w": {"$__toml_private_datetime": "1979-05-27T07:32:00+01:00"}}
        assert load(tmp_path / f"b{FORMATS[target]}", target) == carried
        assert load(tmp_path / "c.toml", "toml") == carried

    def test_a_null_cannot_go_to_toml(self, tmp_path):
        need("toml")
        save(tmp_path / "a.json", {"k": {"v": None}})
        message = fails("convert", "a.json", "b.toml", cwd=tmp_path)
        assert message.startswith("orn-settings: cannot save b.toml: ") and message.count("\n") == 1
        assert not (tmp_path / "b.toml").exists()
