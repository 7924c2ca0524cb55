"""JSON settings files through the engine: what the reader accepts and reports, what sync writes."""

import json
import math

import pytest
from hypothesis import given, settings, strategies as st

from _orn_core import OrnSettingEngine
from conftest import same


def load(tmp_path, text, name="s.json"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return OrnSettingEngine(str(path))


def written(tmp_path, value):
    path = tmp_path / "out.json"
    e = OrnSettingEngine(str(path), "json")
    e.set_value("v", value)
    e.sync()
    return path.read_text(encoding="utf-8")


class TestReaderErrors:
    @pytest.mark.parametrize(
        "text, message",
        [
            ("", "EOF while parsing a value at line 1 column 0"),
            ("  \n", "EOF while parsing a value at line 2 column 0"),
            ("[1, 2", "EOF while parsing a list at line 1 column 5"),
            ('{"a": 1', "EOF while parsing an object at line 1 column 7"),
            ('"abc', "EOF while parsing a string at line 1 column 4"),
            ('{"a" 1}', "expected `:` at line 1 column 6"),
            ("[1 2]", "expected `,` or `]` at line 1 column 4"),
            ('{"a": 1 "b": 2}', "expected `,` or `}` at line 1 column 9"),
            ("nulx", "expected ident at line 1 column 4"),
            ("'a'", "expected value at line 1 column 1"),
            ("\ufeff{}", "expected value at line 1 column 1"),
            ("{1: 2}", "key must be a string at line 1 column 2"),
            ("[1,]", "trailing comma at line 1 column 4"),
            ('{"a": 1,}', "trailing comma at line 1 column 9"),
            ('{"a": 1} x', "trailing characters at line 1 column 10"),
            ("01", "invalid number at line 1 column 2"),
            ("-", "invalid number at line 1 column 1"),
            ("1e400", "number out of range at line 1 column 5"),
            ('"\\x"', "invalid escape at line 1 column 3"),
            ('"\\ud800x"', "unexpected end of hex escape at line 1 column 8"),
            ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
            ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
            ("[\n  1,\n  tru", "EOF while parsing a value at line 3 column 5"),
        ],
    )
    def test_messages(self, tmp_path, text, message):
        with pytest.raises(TypeError) as err:
            load(tmp_path, text)
        assert err.value.args == ("JSON parse error: " + message,)

    @pytest.mark.parametrize("raw", [b'"\xff"', b'"\xc0\x80"', b'"\xed\xa0\x80"', b'"\xf4\x90\x80\x80"'])
    def test_invalid_utf8(self, tmp_path, raw):
        with pytest.raises(TypeError, match=r"^JSON parse error: invalid unicode code point at line 1"):
            load(tmp_path, raw)

    def test_nesting_limit(self, tmp_path):
        assert load(tmp_path, "[" * 127 + "]" * 127).value("") is not None
        with pytest.raises(TypeError, match=r"^JSON parse error: recursion limit exceeded"):
            load(tmp_path, "[" * 128 + "]" * 128)

    @pytest.mark.parametrize("text", ["// c\n{}", "{a: 1}", "[+1]", "[0x10]", "[NaN]", "[Infinity]", "[.5]", "[1.]", "[1e]"])
    def test_extensions_are_rejected(self, tmp_path, text):
        with pytest.raises(TypeError, match="^JSON parse error: "):
            load(tmp_path, text)


class TestNumbers:
    @pytest.mark.parametrize(
        "text, value, kind",
        [
            ("18446744073709551615", 2**64 - 1, int),
            ("18446744073709551616", 1.8446744073709552e19, float),
            ("-9223372036854775808", -2**63, int),
            ("-9223372036854775809", -9.223372036854775808e18, float),
            ("-0", -0.0, float),
            ("1.0", 1.0, float),
            ("1e-400", 0.0, float),
            ("2.2250738585072011e-308", 2.2250738585072011e-308, float),
        ],
    )
    def test_forms(self, tmp_path, text, value, kind):
        got = load(tmp_path, f"[{text}]").value("")[0]
        assert type(got) is kind and got == value
        assert math.copysign(1, got) == math.copysign(1, value)

    # Either side of each bound of the short-decimal path: 2^53 as a significand, 10^22 as a
    # scale, 19 significant digits, and halfway cases that a careless rounding gets wrong.
    @pytest.mark.parametrize(
        "text",
        [
            "9007199254740992.0", "9007199254740993.0", "9007199254740995.0", "900719925474099.3",
            "1e22", "1e23", "1.5e22", "3e-22", "3e-23", "123456789e-30", "0.1", "0.3", "-0.0",
            "0e0", "-0e5", "1234567890123456789.0", "12345678901234567890.0", "0.1234567890123456789",
            "0.12345678901234567890", "2.5e-5", "1.7976931348623157e308", "5e-324",
            "0.000000000000000000001", "4.35679e-10", "7.0e+22", "100000000000000000000.5",
        ],
    )
    def test_floats_are_exactly_rounded(self, tmp_path, text):
        got = load(tmp_path, f"[{text}]").value("")[0]
        assert got.hex() == float(text).hex()

    @pytest.mark.parametrize(
        "value, text",
        [
            (1e15, "1000000000000000.0"), (1e16, "1e+16"), (0.00001, "0.00001"), (0.000001, "1e-6"),
            (123.456, "123.456"), (-0.0, "-0.0"), (0.0, "0.0"), (1.0, "1.0"), (0.1, "0.1"),
            (1.5e-7, "1.5e-7"), (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
            (1e100, "1e+100"), (2**64 - 1, "18446744073709551615"), (-2**63, "-9223372036854775808"),
            (1.8446744073709552e19, "1.8446744073709552e+19"), (12345678.9, "12345678.9"),
        ],
    )
    def test_written_forms(self, tmp_path, value, text):
        assert written(tmp_path, value) == '{\n  "v": ' + text + "\n}"


class TestWriter:
    def test_example_layout(self, tmp_path):
        assert written(tmp_path, {"a": [1, 2.5, "x"], "b": {}, "c": None}).replace('{\n  "v": ', "", 1) == (
            '{\n    "a": [\n      1,\n      2.5,\n      "x"\n    ],\n    "b": {},\n    "c": null\n  }\n}')

    def test_empty_tree_and_no_final_newline(self, tmp_path):
        path = tmp_path / "e.json"
        OrnSettingEngine(str(path)).sync()
        assert path.read_bytes() == b"{}"

    def test_string_escapes(self, tmp_path):
        text = written(tmp_path, '\x1f"é\\/\x7f\b\t\n\x0c\r\x00')
        assert text == '{\n  "v": "\\u001f\\"é\\\\/\x7f\\b\\t\\n\\f\\r\\u0000"\n}'

    def test_nested_empties_inline(self, tmp_path):
        assert written(tmp_path, [{}, []]) == '{\n  "v": [\n    {},\n    []\n  ]\n}'

    def test_other_layout_is_rewritten_and_cut(self, tmp_path):
        path = tmp_path / "s.json"
        path.write_text('{"b":1,   "a":   [1,2,3],\n\n"c": "' + "x" * 100 + '"}')
        e = OrnSettingEngine(str(path))
        e.remove("c")
        e.sync()
        assert path.read_text() == '{\n  "a": [\n    1,\n    2,\n    3\n  ],\n  "b": 1\n}'

    def test_duplicate_keys_keep_the_last(self, tmp_path):
        assert load(tmp_path, '{"a": 1, "b": 2, "a": 3}').value("") == {"a": 3, "b": 2}


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=25,
)


def sorted_tree(value):
    if isinstance(value, dict):
        return {k: sorted_tree(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [sorted_tree(v) for v in value]
    return value


@settings(max_examples=150, deadline=None)
@given(tree=st.dictionaries(st.text(max_size=8), json_values, max_size=6))
def test_round_trip_through_a_file(tmp_path_factory, tree):
    path = tmp_path_factory.mktemp("rt") / "s.json"
    e = OrnSettingEngine(str(path))
    e.set_value("r", tree)  # keys holding "/" or empty stay single keys inside a dict value
    e.sync()
    expected = {"r": sorted_tree(tree)}
    assert same(OrnSettingEngine(str(path)).value(""), expected)
    assert same(json.loads(path.read_text(encoding="utf-8")), expected)
