"""JSON5 settings files through the engine: what the reader accepts and reports, what sync writes,
and the Unicode classes behind bare keys and white space."""

import json
import re
import sys
import unicodedata
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from _orn_core import OrnSettingEngine
from conftest import SANITIZED, same

ROOT = Path(__file__).resolve().parents[1]
SUITE = ROOT.parent / "shared" / "conformance" / "json5"
TABLE = ROOT / "src" / "formats" / "json5_chars_table.cpp"
LIMIT = 128  # the reader refuses a 129th nested array or object


def load(tmp_path, text, name="s.json5"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return OrnSettingEngine(str(path), "json5").value("")


def error_of(tmp_path, text):
    with pytest.raises(TypeError) as err:
        load(tmp_path, text)
    (message,) = err.value.args
    assert message.startswith("JSON5 parse error: ")
    return message.removeprefix("JSON5 parse error: ")


def written(tmp_path, value):
    path = tmp_path / "out.json5"
    e = OrnSettingEngine(str(path), "json5")
    e.set_value("v", value)
    e.sync()
    return path.read_text(encoding="utf-8")


def written_value(tmp_path, value):
    """The text of value alone, as the writer lays it out one level down."""
    text = written(tmp_path, value)
    assert text.startswith("{\n  v: ") and text.endswith(",\n}")
    return text[len("{\n  v: "):-len(",\n}")]


def in_byte_order(value):
    if isinstance(value, dict):
        return {k: in_byte_order(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [in_byte_order(v) for v in value]
    return value


# ------------------------------------------------------------------------------------------------
# Conformance suite

def suite_cases():
    if not SUITE.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="../shared/conformance/json5 is absent"))]
    return [pytest.param(p, id=str(p.relative_to(SUITE))) for p in sorted(SUITE.rglob("*"))
            if p.suffix in (".json", ".json5", ".js", ".txt")]


@pytest.mark.parametrize("case", suite_cases())
def test_conformance(case):
    if case.suffix in (".js", ".txt"):
        with pytest.raises(TypeError, match="^JSON5 parse error: "):
            OrnSettingEngine(str(case), "json5")
        return
    got = OrnSettingEngine(str(case), "json5").value("")
    if case.suffix == ".json":
        assert got == json.loads(case.read_bytes())


# ------------------------------------------------------------------------------------------------
# Reader

class TestReaderAccepts:
    @pytest.mark.parametrize(
        "text, value",
        [
            ("{a: 1, b: [0x10, .5, +3, 'x',], // note\n}", {"a": 1, "b": [16, 0.5, 3, "x"]}),
            ("[Infinity, -Infinity, +Infinity, NaN, -NaN, +NaN, 1e400, -1e400]", [None] * 8),
            ("[0x7fffffffffffffff, -0x8000000000000000, 0XFFFFFFFFFFFFFFFF, +0xA]",
             [2**63 - 1, -2**63, 2**64 - 1, 10]),
            ("[18446744073709551615, -9223372036854775808, -0, -0x0]", [2**64 - 1, -2**63, 0, 0]),
            ("[5., .5, -.5, +5.e1, 1E+2, 1e-400, -1e-400, 0.0, -0.0, 0e5]",
             [5.0, 0.5, -0.5, 50.0, 100.0, 0.0, -0.0, 0.0, -0.0, 0.0]),
            ("[1.0, 123456789012345678, 1234567890123456789, -1234567890123456789]",
             [1.0, 123456789012345678, 1234567890123456789, -1234567890123456789]),
            ("{'a': 1, a: 2, \"b\": 3, b: 4,}", {"a": 2, "b": 4}),
            ("{$_: 1, _$9: 2, é: 3, aé\u0301\u0660\u203f\u200c\u200d: 4}",
             {"$_": 1, "_$9": 2, "é": 3, "aé\u0301\u0660\u203f\u200c\u200d": 4}),
            ("{\\u0061\\u0062: 1, a\\u0301: 2, \\ud801\\udc00: 3}", {"ab": 1, "a\u0301": 2, "\U00010400": 3}),
            ("{while: 1, null: 2, true: 3, Infinity: 4}", {"while": 1, "null": 2, "true": 3, "Infinity": 4}),
            (r"'\'\"\\\b\f\n\r\t\v\0\/\a\é\x41\u00e9\ud83c\udfbc'", "'\"\\\b\f\n\r\t\v\0/aéAé\U0001f3bc"),
            ("'a\\\nb\\\r\nc\\\rd\\\u2028e\\\u2029f'", "abcdef"),
            ("\"it's\" ", "it's"),
            ("'raw \u2028 \u2029 \t \x00 \x7f'", "raw \u2028 \u2029 \t \x00 \x7f"),
            ("\ufeff\u00a0\u1680\u2000\u200a\u202f\u205f\u3000\v\f\u2028\u2029 1 // end", 1),
            ("/* a */ [ /**/ 1 /* * / */ , // x\r 2 // y\u2028 ] /***/", [1, 2]),
            ("// only\n[]\n// trailing, no newline", []),
            ("[[[]], {}, {a: {}}]", [[[]], {}, {"a": {}}]),
            ("'x'", "x"),
            ("null", None),
            ("true", True),
        ],
    )
    def test_values(self, tmp_path, text, value):
        assert same(load(tmp_path, text), in_byte_order(value))

    # Escapes every few characters through strings long enough that the decoded text outgrows
    # its first buffer, with the escape that needs the full reader mixed in.
    @pytest.mark.parametrize("length", [1, 7, 255, 256, 257, 600, 5000])
    @pytest.mark.parametrize("every", [1, 2, 5, 9, 40])
    def test_escape_heavy_strings(self, tmp_path, length, every):
        pieces = [("\\n", "\n"), ("\\'", "'"), ('"', '"'), ("\\\\", "\\"), ("\\u00e9", "é"),
                  ("\\x41", "A"), ("é", "é"), ("\\é", "é"), ("\\\n", "")]
        raw, value = [], []
        for i in range(length):
            if i % every == 0:
                text, meant = pieces[i // every % len(pieces)]
            else:
                text = meant = "abcdefgh"[i % 8]
            raw.append(text)
            value.append(meant)
        assert load(tmp_path, "['" + "".join(raw) + "']") == ["".join(value)]
        assert load(tmp_path, "'" + "".join(raw) + "'") == "".join(value)

    @pytest.mark.parametrize("text, value", [("-0.0", -0.0), ("-0", 0), ("1e400", None), ("-.0e-0", -0.0)])
    def test_number_forms(self, tmp_path, text, value):
        got = load(tmp_path, f"[{text}]")[0]
        assert same(got, value)

    def test_nesting_up_to_the_limit(self, tmp_path):
        assert load(tmp_path, "[" * LIMIT + "]" * LIMIT) is not None
        assert load(tmp_path, "{a:" * LIMIT + "1" + "}" * LIMIT) is not None


class TestReaderErrors:
    @pytest.mark.parametrize(
        "text, message",
        [
            # The text ends: the innermost open bracket, or no place at the top level.
            ("", "EOF parsing value"),
            ("  /* only a comment */ \n// and one more", "EOF parsing value"),
            ("[1,\n {a: [", "EOF parsing array at line 2 column 6"),
            ("[1, 2", "EOF parsing array at line 1 column 1"),
            ("{a: 1, b: {c", "EOF parsing object at line 1 column 11"),
            ("{a:", "EOF parsing value at line 1 column 1"),
            ("[tru", "EOF parsing bool at line 1 column 1"),
            ("nul", "EOF parsing null"),
            ("[/* open", "EOF parsing comment at line 1 column 1"),
            ("/", "EOF parsing comment"),
            ("['a\\", "EOF parsing escape sequence at line 1 column 1"),
            ("'\\u12", "EOF parsing escape sequence"),
            ("'\\ud800\\", "EOF parsing escape sequence"),
            ("{\\u00", "EOF parsing identifier at line 1 column 1"),
            ("[-", "EOF parsing number at line 1 column 1"),
            ("1e+", "EOF parsing number"),
            ("Infin", "EOF parsing number"),
            ("0x", "EOF parsing number"),
            ("'abc", "EOF parsing string"),
            ("'a\\nb", "EOF parsing string"),
            ("'a\\nb\\", "EOF parsing escape sequence"),
            ("'a\\n\\n\nx'", "line terminator in string at line 1 column 7"),
            # Something else than what must come.
            ("trUe", "expected bool at line 1 column 1"),
            ("[1 }", "expected closing bracket at line 1 column 4"),
            ("{a: 1 ]", "expected closing brace at line 1 column 7"),
            ("{a 1}", "expected colon at line 1 column 4"),
            ("{a-b: 1}", "expected colon at line 1 column 3"),
            ("[1 2]", "expected comma at line 1 column 4"),
            ("{a: 1 b: 2}", "expected comma at line 1 column 7"),
            ("[1 /x]", "expected comment at line 1 column 4"),
            ("nulL", "expected null at line 1 column 1"),
            ("[-x]", "expected number at line 1 column 2"),
            ("+ 1", "expected number at line 1 column 1"),
            ("[Infinit]", "expected number at line 1 column 2"),
            ("-infinity", "expected number at line 1 column 1"),
            ("[,]", "expected value at line 1 column 2"),
            ("[1,,]", "expected value at line 1 column 4"),
            ("undefined", "expected value at line 1 column 1"),
            ("é", "expected value at line 1 column 1"),
            ('"\\1"', "invalid escape sequence at line 1 column 2"),
            ("'ab\\09'", "invalid escape sequence at line 1 column 4"),
            ("'\\x4g'", "invalid escape sequence at line 1 column 2"),
            ("'\\u12G4'", "invalid escape sequence at line 1 column 2"),
            ("'\\udc00'", "invalid escape sequence at line 1 column 2"),
            ("'\\ud800x'", "invalid escape sequence at line 1 column 2"),
            ("'\\ud800\\u0041'", "invalid escape sequence at line 1 column 2"),
            ("{\\x41: 1}", "invalid escape sequence at line 1 column 2"),
            ("{1a: 1}", "invalid key at line 1 column 2"),
            ("{,}", "invalid key at line 1 column 2"),
            ("{a\\u002d: 1}", "invalid key at line 1 column 3"),
            ("{\\u0031: 1}", "invalid key at line 1 column 2"),
            ("{€: 1}", "invalid key at line 1 column 2"),
            ("[01]", "leading zero at line 1 column 2"),
            ("-00", "leading zero at line 1 column 1"),
            ("+012.5", "leading zero at line 1 column 1"),
            ("'a\nb'", "line terminator in string at line 1 column 3"),
            ("\"a\rb\"", "line terminator in string at line 1 column 3"),
            ("{} x", "trailing characters at line 1 column 4"),
            ("1 2", "trailing characters at line 1 column 3"),
            # Numbers: the message names the range, the place is the literal's first character.
            ("18446744073709551616", "JSON number out of range at line 1 column 1"),
            ("[-9223372036854775809]", "JSON number out of range at line 1 column 2"),
            ("0x10000000000000000", "JSON number out of range at line 1 column 1"),
            ("340282366920938463463374607431768211455", "JSON number out of range at line 1 column 1"),
            ("340282366920938463463374607431768211456", "number too large to fit in target type at line 1 column 1"),
            ("-170141183460469231731687303715884105728", "JSON number out of range at line 1 column 1"),
            ("-170141183460469231731687303715884105729", "number too small to fit in target type at line 1 column 1"),
            ("[1e]", "invalid float literal at line 1 column 2"),
            ("1.2.3", "invalid float literal at line 1 column 1"),
            ("[.]", "invalid float literal at line 1 column 2"),
            ("1e5x", "invalid float literal at line 1 column 1"),
            ("12abc", "invalid digit found in string at line 1 column 1"),
            ("0x1g", "invalid digit found in string at line 1 column 1"),
            ("0x1.5", "invalid digit found in string at line 1 column 1"),
            ("1_000", "invalid digit found in string at line 1 column 1"),
            ("[0x]", "cannot parse integer from empty string at line 1 column 2"),
        ],
    )
    def test_messages(self, tmp_path, text, message):
        assert error_of(tmp_path, text) == message

    # Lines end at LF, CR, CR LF, U+2028 and U+2029; columns count characters, not bytes.
    @pytest.mark.parametrize(
        "text, position",
        [
            ("[\n1, x", "line 2 column 4"),
            ("[\r1, x", "line 2 column 4"),
            ("[\r\n1, x", "line 2 column 4"),
            ("[\n\r\r\n1, x", "line 4 column 4"),
            ("[\u2028\u20291, x", "line 3 column 4"),
            ("['é€𝄞', x", "line 1 column 9"),
            ("/* é\n é */ ['\\\n', x", "line 3 column 4"),
        ],
    )
    def test_positions(self, tmp_path, text, position):
        assert error_of(tmp_path, text) == "expected value at " + position

    @pytest.mark.parametrize("opener, closer", [("[", "]"), ("{a:", "}")])
    def test_one_level_too_deep_names_its_bracket(self, tmp_path, opener, closer):
        text = opener * (LIMIT + 1) + "1" + closer * (LIMIT + 1)
        column = len(opener) * LIMIT + 1
        assert error_of(tmp_path, text) == f"recursion limit exceeded at line 1 column {column}"

    @pytest.mark.parametrize("text", ["[" * 100_000 + "]" * 100_000, "{a:" * 100_000 + "1" + "}" * 100_000,
                                      "[{a:" * 50_000, "{a:[" * 50_000 + "]}" * 50_000])
    def test_very_deep_input_is_refused_without_a_crash(self, tmp_path, text):
        assert error_of(tmp_path, text).startswith("recursion limit exceeded at line 1 column ")

    @pytest.mark.parametrize("raw", [b"'\xff'", b"{a: '\xc0\x80'}", b"'\xed\xa0\x80'", b"\xf4\x90\x80\x80", b"// \xfe\n1"])
    def test_invalid_utf8_is_a_read_error(self, tmp_path, raw):
        with pytest.raises(OSError) as err:
            load(tmp_path, raw)
        assert type(err.value) is OSError and err.value.args == ("stream did not contain valid UTF-8",)


# ------------------------------------------------------------------------------------------------
# Writer

class TestWriter:
    def test_example_layout(self, tmp_path):
        path = tmp_path / "s.json5"
        e = OrnSettingEngine(str(path), "json5")
        e.set_value("a", [1, 2.5])
        e.set_value("b c", 'say "hi"')
        e.set_value("d", {})
        e.sync()
        assert path.read_bytes() == b'{\n  a: [\n    1,\n    2.5,\n  ],\n  "b c": \'say "hi"\',\n  d: {},\n}'

    def test_empty_tree_and_other_roots(self, tmp_path):
        path = tmp_path / "e.json5"
        OrnSettingEngine(str(path), "json5").sync()
        assert path.read_bytes() == b"{}"
        path.write_text("[[], {}, [{}]] // another layout")
        OrnSettingEngine(str(path), "json5").sync()
        assert path.read_text() == "[\n  [],\n  {},\n  [\n    {},\n  ],\n]"
        path.write_text("'x'")
        OrnSettingEngine(str(path), "json5").sync()
        assert path.read_text() == '"x"'

    @pytest.mark.parametrize(
        "value, text",
        [
            (1.0, "1"), (0.5, "0.5"), (1e21, "1000000000000000000000.0"), (1.5e-7, "0.00000015"),
            (-0.0, "-0"), (0.0, "0"), (-2.5, "-2.5"), (123.456, "123.456"), (1e15, "1000000000000000"),
                        # Integral floats read back as integers: within the integer range with their exact
            # digits, so the integer is the same number; beyond it with ".0", read as a float.
            (2.0**64 - 2048, "18446744073709549568"), (44342864040089328.0, "44342864040089328"),
            (-(2.0**63), "-9223372036854775808"), (2.0**64, "18446744073709552000.0"),
            (-(2.0**63) - 2048, "-9223372036854778000.0"), (-1e300, "-1" + "0" * 300 + ".0"),
            (5e-324, "0." + "0" * 323 + "5"), (2**64 - 1, "18446744073709551615"), (-2**63, "-9223372036854775808"),
            (None, "null"), (True, "true"), (False, "false"), ([], "[]"), ({}, "{}"),
        ],
    )
    def test_scalars(self, tmp_path, value, text):
        assert written_value(tmp_path, value) == text

    @pytest.mark.parametrize(
        "value, text",
        [
            ("it's", '"it\'s"'),
            ('say "hi"', "'say \"hi\"'"),
            ("it's \"both\"", '"it\'s \\"both\\""'),
            ("back\\slash", '"back\\\\slash"'),
            ("a\nb\rc\u2028d\u2029e", '"a\\nb\\rc\\u2028d\\u2029e"'),
            ("\t\x00\x1f\x7f\u0085\u2027\u202a é", "\"\t\x00\x1f\x7f\u0085\u2027\u202a é\""),
            ("\n\u2027\u20ac\u2028", '"\\n\u2027\u20ac\\u2028"'),
            ("\"\\'", '"\\"\\\\\'"'),
            ("\"\\", "'\"\\\\'"),
            ("", '""'),
        ],
    )
    def test_strings(self, tmp_path, value, text):
        assert written_value(tmp_path, value) == text

    @pytest.mark.parametrize(
        "key, text",
        [
            ("a-b", '"a-b"'), ("_x1", "_x1"), ("1a", '"1a"'), ("", '""'), ("$", "$"), ("é", "é"),
            ("a\u0301", "a\u0301"), ("\u0301a", '"\u0301a"'), ("x\u200c\u200d", "x\u200c\u200d"),
            ("\u200cx", '"\u200cx"'), ("a b", '"a b"'), ("say \"hi\"", "'say \"hi\"'"), ("\U00010400", "\U00010400"),
            ("a/b", '"a/b"'), ("null", "null"),
        ],
    )
    def test_keys(self, tmp_path, key, text):
        assert written_value(tmp_path, {key: 1}) == "{\n    " + text + ": 1,\n  }"
        assert same(load(tmp_path, "{" + text + ": 1}"), {key: 1})

    def test_integral_float_reads_back_as_an_integer(self, tmp_path):
        path = tmp_path / "f.json5"
        e = OrnSettingEngine(str(path), "json5")
        e.set_value("f", 1.0)
        e.sync()
        assert path.read_text() == "{\n  f: 1,\n}"
        assert same(OrnSettingEngine(str(path), "json5").value("f"), 1)

    def test_sync_refuses_a_tree_it_could_not_read_back(self, tmp_path):
        path = tmp_path / "d.json5"
        e = OrnSettingEngine(str(path), "json5")
        e.set_value("/".join(["g"] * LIMIT), 1)
        e.sync()
        assert OrnSettingEngine(str(path), "json5").value("/".join(["g"] * LIMIT)) == 1
        e.set_value("/".join(["g"] * LIMIT), [])
        with pytest.raises(TypeError) as err:
            e.sync()
        assert err.value.args == ("JSON5 cannot store this tree: it nests 129 levels deep and JSON5 files "
                                  "are read back to at most 128 levels",)
        assert OrnSettingEngine(str(path), "json5").value("/".join(["g"] * LIMIT)) == 1


# ------------------------------------------------------------------------------------------------
# Unicode classes

ID_START = {"Lu", "Ll", "Lt", "Lm", "Lo", "Nl"}
ID_PART = {"Mn", "Mc", "Nd", "Pc"}


def table_ranges(name):
    text = TABLE.read_text()
    body = re.search(r"const CodePointRange " + name + r"\[\] = \{(.*?)\};", text, re.S).group(1)
    return [(int(a, 16), int(b, 16)) for a, b in re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", body)]


# The table is generated from CPython 3.12's unicodedata; another interpreter may know a newer
# Unicode, and the table stays what the file format was written against.
SAME_UNICODE = pytest.mark.skipif(
    f'kUnicodeVersion[] = "{unicodedata.unidata_version}"' not in TABLE.read_text(),
    reason=f"this interpreter's unicodedata is Unicode {unicodedata.unidata_version}")


@SAME_UNICODE
@pytest.mark.parametrize("name, categories", [("kIdStart", ID_START), ("kIdPart", ID_PART), ("kSpace", {"Zs"})])
def test_generated_table_matches_unicodedata(name, categories):
    ranges = table_ranges(name)
    assert all(a <= b < c for (a, b), (c, _) in zip(ranges, ranges[1:]))
    inside = bytearray(sys.maxunicode + 1)
    for a, b in ranges:
        inside[a:b + 1] = b"\x01" * (b - a + 1)
    for cp in range(sys.maxunicode + 1):
        assert inside[cp] == (unicodedata.category(chr(cp)) in categories), hex(cp)


def may_start(c):
    return c in "$_" or unicodedata.category(c) in ID_START


def may_continue(c):
    return may_start(c) or c in "\u200c\u200d" or unicodedata.category(c) in ID_PART


def bare_keys_written(tmp_path, keys):
    """The keys the writer leaves unquoted, having checked that the reader takes all back."""
    path = tmp_path / "keys.json5"
    e = OrnSettingEngine(str(path), "json5")
    e.set_value("k", keys)
    e.sync()
    assert OrnSettingEngine(str(path), "json5").value("k") == keys
    return {line[4:-4] for line in path.read_text(encoding="utf-8").split("\n")[2:-2]
            if line[4] not in "\"'"}


@SAME_UNICODE
@pytest.mark.skipif(SANITIZED, reason="two million keys take minutes under the sanitizers; the "
                                       "fuzzers reach the same lookups there")
def test_every_code_point_is_classified_by_the_writer_and_reader(tmp_path):
    # One key per code point alone and one after an "a": the writer leaves a key bare exactly
    # when it is an identifier name, and the reader takes every such bare key back.
    chars = [chr(cp) for cp in range(sys.maxunicode + 1) if not 0xD800 <= cp <= 0xDFFF]
    keys = {c: 0 for c in chars} | {"a" + c: 0 for c in chars}
    expected = {c for c in chars if may_start(c)} | {"a" + c for c in chars if may_continue(c)}
    assert bare_keys_written(tmp_path, keys) == expected


def test_keys_are_bare_exactly_when_every_character_may_be(tmp_path):
    # Keys are tested in pieces of sixteen bytes, shorter ones as overlapping pieces, then by
    # a table, and the first character beyond ASCII hands the rest of the key to the decoding
    # loop: each ASCII character, and a few others, at every place of keys of every such size.
    chars = [chr(c) for c in range(1, 128)] + ["é", "\u0663", "\u200c", "\u00a0"]
    keys = {}
    for length in (1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 32, 33):
        for at in range(length):
            for c in chars:
                keys["a" * at + c + "b" * (length - at - 1)] = 0
    expected = {k for k in keys if may_start(k[0]) and all(map(may_continue, k[1:]))}
    assert bare_keys_written(tmp_path, keys) == expected


def test_white_space_is_every_zs_character_and_no_other(tmp_path):
    zs = [chr(cp) for cp in range(sys.maxunicode + 1) if unicodedata.category(chr(cp)) == "Zs"]
    extra = "\t\n\v\f\r\u2028\u2029\ufeff"
    spaces = zs + list(extra)
    text = "".join(spaces) + "[" + ",".join(c + "1" + c for c in spaces) + "]" + "".join(spaces)
    assert load(tmp_path, text) == [1] * len(spaces)
    # Neighbours that are not white space: format and control characters, a mark, the NEL.
    for c in "\u0085\u180e\u200b\u2060\u00ad\u0300\x00\x1c":
        assert error_of(tmp_path, f"[1,{c}2]") == "expected value at line 1 column 4"


# ------------------------------------------------------------------------------------------------
# Round trip

values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=25,
)


def as_read_back(value):
    """What the reader makes of the writer's text: keys in byte order, integral floats within the
    integer range become integers (negative zero the integer 0)."""
    if isinstance(value, dict):
        return {k: as_read_back(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [as_read_back(v) for v in value]
    if isinstance(value, float) and value.is_integer() and -2**63 <= value < 2**64:
        return int(value)
    return value


@settings(max_examples=150, deadline=None)
@given(tree=st.dictionaries(st.text(max_size=8), values, max_size=6))
def test_round_trip_through_a_file(tmp_path_factory, tree):
    path = tmp_path_factory.mktemp("rt") / "s.json5"
    e = OrnSettingEngine(str(path), "json5")
    e.set_value("r", tree)
    e.sync()
    assert same(OrnSettingEngine(str(path), "json5").value(""), {"r": as_read_back(tree)})
