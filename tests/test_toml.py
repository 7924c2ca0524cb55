"""TOML settings files through the engine: what the reader accepts and reports, what sync writes."""

import random
import re
import tomllib

import pytest
from hypothesis import given, settings, strategies as st

from _orn_core import OrnSettingEngine
from conftest import same

CARRIER = "$__toml_private_datetime"


def load(tmp_path, text, name="s.toml"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return OrnSettingEngine(str(path), "toml").value("")


def load_error(tmp_path, text):
    with pytest.raises(TypeError) as err:
        load(tmp_path, text)
    (message,) = err.value.args
    return message


def saved(tmp_path, tree, name="out.toml"):
    path = tmp_path / name
    e = OrnSettingEngine(str(path), "toml")
    for key, value in tree.items():
        e.set_value(key, value)
    e.sync()
    return path.read_text(encoding="utf-8")


def nested(opening, closing, depth, inner="1"):
    return "v = " + opening * depth + inner + closing * depth


class TestReading:
    @pytest.mark.parametrize(
        "text, value",
        [
            ("", {}),
            ("# only a comment", {}),
            ("\n# one\r\n  # two\n\n", {}),
            ("\ufeffa = 1", {"a": 1}),
            ("a.b.c = 1\na.d = 2", {"a": {"b": {"c": 1}, "d": 2}}),
            ('"a.b" = 1\n\'c d\' = 2\n"" = 3', {"": 3, "a.b": 1, "c d": 2}),
            ("3.14 = 'pi'", {"3": {"14": "pi"}}),
            ("[a.b]\n[a]\nc = 1", {"a": {"b": {}, "c": 1}}),
            ("[[t]]\n[[t]]\nx = 1\n[t.u]\ny = 2", {"t": [{}, {"u": {"y": 2}, "x": 1}]}),
            ("[a]\nb.c = 1\n[a.b.d]\ne = 2", {"a": {"b": {"c": 1, "d": {"e": 2}}}}),
            ("t = {a = 1, b.c = 2}", {"t": {"a": 1, "b": {"c": 2}}}),
            ("t = {\n  a = 1, # note\n  b = [1,\n 2],\n}", {"t": {"a": 1, "b": [1, 2]}}),
            ("a = [[1], {x = 'y'}, []]", {"a": [[1], {"x": "y"}, []]}),
            ('s = "\\e\\x41\\u00e9\\U0001F600\\t"', {"s": "\x1bA\u00e9\U0001F600\t"}),
            ('s = """\n  a \\\n    b"""', {"s": "  a b"}),
            ('s = """a\r\nb""""', {"s": 'a\nb"'}),
            ("s = '''\nx''y'''''", {"s": "x''y''"}),
            ("b = [true, false]", {"b": [True, False]}),
        ],
    )
    def test_documents(self, tmp_path, text, value):
        assert same(load(tmp_path, text), value)

    @pytest.mark.parametrize(
        "text, value",
        [
            ("9223372036854775807", 2**63 - 1),
            ("-9223372036854775808", -2**63),
            ("9223372036854775808", 2**63),
            ("18446744073709551615", 2**64 - 1),
            ("0xffff_ffff_ffff_ffff", 2**64 - 1),
            ("0o777", 511),
            ("0b1010", 10),
            ("+1_000", 1000),
            ("-0", 0),
            ("1.5e-7", 1.5e-7),
            ("-0.0", -0.0),
            ("1e-400", 0.0),
            ("6.02E+23", 6.02e23),
            ("inf", None),
            ("-inf", None),
            ("+nan", None),
            ("nan", None),
        ],
    )
    def test_numbers(self, tmp_path, text, value):
        assert same(load(tmp_path, "n = " + text)["n"], value)

    @pytest.mark.parametrize(
        "text, description",
        [
            ("18446744073709551616", "JSON number out of range"),
            ("-9223372036854775809", "JSON number out of range"),
            ("1" * 40, "integer number overflowed"),
            ("1e400", "floating-point number overflowed"),
            ("-1e400", "floating-point number overflowed"),
            ("0123", "invalid integer number"),
            ("1__0", "invalid integer number"),
            ("-0x1", "invalid integer number"),
            ("1.", "invalid floating-point number"),
            ("1e_5", "invalid floating-point number"),
            ("abc", "string values must be quoted"),
            ("True", "string values must be quoted"),
            ("2021-02-29", "invalid date-time"),
            ("07:32:00Z", "invalid date-time"),
        ],
    )
    def test_value_failures(self, tmp_path, text, description):
        message = load_error(tmp_path, "n = " + text)
        carets = "^" * len(text)
        assert message == (f"TOML parse error: TOML parse error at line 1, column 5\n  |\n"
                           f"1 | n = {text}\n  |     {carets}\n{description}\n")

    @pytest.mark.parametrize(
        "text, normal",
        [
            ("1979-05-27", "1979-05-27"),
            ("1979-05-27 07:32:00z", "1979-05-27T07:32:00Z"),
            ("1979-05-27t07:32", "1979-05-27T07:32"),
            ("07:32", "07:32"),
            ("00:32:00.500000", "00:32:00.5"),
            ("00:32:00.000", "00:32:00.0"),
            ("1979-05-27T00:32:00.1234567891-00:00", "1979-05-27T00:32:00.123456789+00:00"),
            ("1979-05-27T07:32:00-08:00", "1979-05-27T07:32:00-08:00"),
            ("2000-02-29T23:59:60", "2000-02-29T23:59:60"),
        ],
    )
    def test_dates_are_carried_as_normalised_text(self, tmp_path, text, normal):
        assert same(load(tmp_path, "d = " + text), {"d": {CARRIER: normal}})

    def test_date_carrier_round_trip(self, tmp_path):
        path = tmp_path / "d.toml"
        path.write_text("d = 1979-05-27\n")
        e = OrnSettingEngine(str(path), "toml")
        e.sync()
        assert path.read_text() == '[d]\n"$__toml_private_datetime" = "1979-05-27"\n'
        assert same(OrnSettingEngine(str(path), "toml").value(""), {"d": {CARRIER: "1979-05-27"}})

    @pytest.mark.parametrize(
        "unit, close, repeats",
        [("[", "]", 80), ("{a = ", "}", 80), ("[{a = ", "}]", 40)],
    )
    def test_nesting_limit(self, tmp_path, unit, close, repeats):
        # 80 levels open at once load; one more array inside fails at its bracket.
        value = load(tmp_path, "v = " + unit * repeats + "1" + close * repeats)["v"]
        levels = 0
        while isinstance(value, (list, dict)):
            value = value[0] if isinstance(value, list) else value["a"]
            levels += 1
        assert levels == 80 and value == 1
        message = load_error(tmp_path, "v = " + unit * repeats + "[1]" + close * repeats)
        column = 5 + len(unit) * repeats
        assert message.startswith(f"TOML parse error: TOML parse error at line 1, column {column}\n")
        assert message.endswith("|" + " " * column + "^\ncannot recurse further; max recursion depth met\n")

    @pytest.mark.parametrize("form", ["{} = 1", "[{}]", "[[{}]]"])
    def test_key_part_limit(self, tmp_path, form):
        keys = ".".join(f"k{i}" for i in range(79))
        tree = load(tmp_path, form.format(keys))
        levels = 0
        while isinstance(tree, dict) and tree:
            tree = tree[f"k{levels}"]
            tree = tree[0] if isinstance(tree, list) else tree
            levels += 1
        assert levels == 79
        message = load_error(tmp_path, form.format(keys + ".k79"))
        column = form.index("{") + len(keys) + 2
        assert message.startswith(f"TOML parse error: TOML parse error at line 1, column {column}\n")
        assert message.endswith("|" + " " * column + "^^^\nrecursion limit\n")


class TestDefinitionRules:
    @pytest.mark.parametrize(
        "text, line, description",
        [
            ("a = 1\na = 2", 2, "duplicate key"),
            ("a = 1\na.b = 2", 2, "duplicate key"),
            ("[a]\n[a]", 2, "duplicate table"),
            ("a.b = 1\n[a]", 2, "duplicate table"),
            ("[a]\nb.c = 1\n[a.b]", 3, "duplicate table"),
            ("[a.b]\n[a]\nb.c = 1", 3, "cannot extend a table defined earlier"),
            ("[a]\nb.c = 1\n[x]\n[a]\nb.d = 1", 4, "duplicate table"),
            ("a = {b = 1}\na.c = 2", 2, "cannot extend an inline table"),
            ("a = {b = 1}\n[a.c]", 2, "cannot extend an inline table"),
            ("a = {b.c = 1, b = 2}", 1, "duplicate key"),
            ("a = [1]\n[[a]]", 2, "cannot append to a static array"),
            ("[[a]]\n[a]", 2, "duplicate table"),
            ("[a]\n[[a]]", 2, "duplicate table"),
            ("[[t.a]]\n[t]\na.x = 1", 3, "cannot extend an array of tables"),
            ("[[t]]\n[x]\n[t]\n", 3, "duplicate table"),
        ],
    )
    def test_redefinitions(self, tmp_path, text, line, description):
        message = load_error(tmp_path, text)
        assert message.startswith(f"TOML parse error: TOML parse error at line {line}, column ")
        assert message.endswith("\n" + description + "\n")

    @pytest.mark.parametrize(
        "text, value",
        [
            ("[a.b.c]\n[a]\nb.d = 1", {"a": {"b": {"c": {}, "d": 1}}}),
            ("[a]\nb.c = 1\nb.d = 2", {"a": {"b": {"c": 1, "d": 2}}}),
            ("[[a]]\nb.c = 1\n[[a]]\nb.c = 2", {"a": [{"b": {"c": 1}}, {"b": {"c": 2}}]}),
        ],
    )
    def test_allowed_extensions(self, tmp_path, text, value):
        assert same(load(tmp_path, text), value)


class TestErrorFrame:
    @pytest.mark.parametrize(
        "text, frame",
        [
            # A position at the very end of the text: after its last character, one caret.
            ('a = "abc', '1, column 9\n  |\n1 | a = "abc\n  |         ^\nunclosed string, expected `"`\n'),
            # Columns count characters, carets count bytes.
            ('k = "é" x', '1, column 9\n  |\n1 | k = "é" x\n  |         ^\n'
                          'extra characters after value, expected newline, `#`\n'),
            ("é = 1", "1, column 1\n  |\n1 | é = 1\n  | ^^\ninvalid key\n"),
            ("x = 1\nname = 2\nname = 3\n", "3, column 1\n  |\n3 | name = 3\n  | ^^^^\nduplicate key\n"),
            ("\n" * 9 + "k 1", "10, column 3\n   |\n10 | k 1\n   |   ^\nkey with no value, expected `.`, `=`\n"),
            ("[a\nb = 1", "1, column 3\n  |\n1 | [a\n  |   ^\nunclosed table, expected `.`, `]`\n"),
            ("a = [1 2]", "1, column 8\n  |\n1 | a = [1 2]\n  |        ^\nunclosed array, expected `,`, `]`\n"),
            ("a = {b = 1 c = 2}", "1, column 12\n  |\n1 | a = {b = 1 c = 2}\n  |            ^\n"
                                  "unclosed inline table, expected `,`, `}`\n"),
            # The span of a bad escape is cut at the end of its line.
            ('a = "\\u12"\n', '1, column 6\n  |\n1 | a = "\\u12"\n  |      ^^^^^\ninvalid escape sequence\n'),
            ("a = 1\r\nb = \r", "2, column 5\n  |\n2 | b = \n  |     ^\nmissing value\n"),
            ("a = \x7f", "1, column 5\n  |\n1 | a = \x7f\n  |     ^\ninvalid value\n"),
            ("a = 'x\x01'", "1, column 7\n  |\n1 | a = 'x\x01'\n  |       ^\ncontrol character in string\n"),
        ],
    )
    def test_byte_for_byte(self, tmp_path, text, frame):
        assert load_error(tmp_path, text) == "TOML parse error: TOML parse error at line " + frame

    def test_invalid_utf8_is_a_read_error(self, tmp_path):
        with pytest.raises(OSError) as err:
            load(tmp_path, b"a = '\xff'")
        assert type(err.value) is OSError and err.value.args == ("stream did not contain valid UTF-8",)


SERVERS = {
    "name": "demo",
    "servers": [{"host": "a", "port": 1}, {"host": "b", "port": 2}],
    "window": {"size": [800, 600], "pos": {}},
    "zeta": 1.5,
}
SERVERS_TEXT = """name = "demo"
zeta = 1.5

[[servers]]
host = "a"
port = 1

[[servers]]
host = "b"
port = 2

[window]
size = [
    800,
    600,
]

[window.pos]
"""


class TestWriting:
    @pytest.mark.parametrize(
        "tree, text",
        [
            ({}, ""),
            (SERVERS, SERVERS_TEXT),
            ({"a": {"b": 1}, "z": 2}, "z = 2\n\n[a]\nb = 1\n"),
            ({"a": {"b": {"c": 1}}}, "[a.b]\nc = 1\n"),
            ({"k": [{"x": 1}]}, "[[k]]\nx = 1\n"),
            ({"k": [{}, {}]}, "[[k]]\n\n[[k]]\n"),
            ({"k": [{"x": 1}, 2]}, "k = [\n    { x = 1 },\n    2,\n]\n"),
            ({"k": [[1, 2], [3, 4]]}, "k = [\n    [\n    1,\n    2,\n],\n    [\n    3,\n    4,\n],\n]\n"),
            ({"k": [1], "e": [], "m": [{}, 1]}, "e = []\nk = [1]\nm = [\n    {},\n    1,\n]\n"),
            ({"t": [{"a": {}, "b": [{"c": 1}]}]}, "[[t]]\n\n[t.a]\n\n[[t.b]]\nc = 1\n"),
            ({"f": [0.1, 1e16, 1.5e-7, -0.0, 1.0]},
             "f = [\n    0.1,\n    10000000000000000.0,\n    0.00000015,\n    -0.0,\n    1.0,\n]\n"),
            ({"i": [2**64 - 1, -2**63, True]},
             "i = [\n    18446744073709551615,\n    -9223372036854775808,\n    true,\n]\n"),
        ],
    )
    def test_layout(self, tmp_path, tree, text):
        assert saved(tmp_path, tree) == text

    @pytest.mark.parametrize(
        "value, text",
        [
            ("demo", '"demo"'),
            ("it's", '"it\'s"'),
            ('say "hi"', "'say \"hi\"'"),
            ("a\nb", '"""\na\nb"""'),
            ("tab\there", '"tab\\there"'),
            ("back\\slash", "'back\\slash'"),
            ("it's \"both\"", '"""it\'s "both\""""'),
            ("it's a\\b", "'''it's a\\b'''"),
            ("''' and \\", '"\'\'\' and \\\\"'),
            ('"""\n\'\'\'\\', '"""\n""\\"\n\'\'\'\\\\"""'),
            ("bell\x07 del\x7f cr\r", '"bell\\u0007 del\\u007F cr\\r"'),
            ("é", '"é"'),
        ],
    )
    def test_string_forms(self, tmp_path, value, text):
        assert saved(tmp_path, {"s": value}) == f"s = {text}\n"
        assert load(tmp_path, f"s = {text}")["s"] == value

    @pytest.mark.parametrize("offset", range(12))
    def test_runs_of_three_quotes_at_any_offset(self, tmp_path, offset):
        # Texts are read several bytes at a time: a run may straddle two reads.
        pad = "a" * offset
        for run, quote in (('""', '"""'), ('"""', "'''")):
            text = f"{pad}{run}x'"
            assert saved(tmp_path, {"s": text}) == f"s = {quote}{text}{quote}\n"
        for run, quote in (("''", "'''"), ("'''", '"')):
            text = pad + run + 'x"\\'
            written = saved(tmp_path, {"s": text})
            assert written.startswith(f"s = {quote}") and load(tmp_path, written)["s"] == text

    @pytest.mark.parametrize(
        "key, text",
        [
            ("a-b_C9", "a-b_C9"),
            ("a b", '"a b"'),
            ("", '""'),
            ('say "x"', "'say \"x\"'"),
            ("tab\tkey", '"tab\\tkey"'),
            ("it's \"q\"", '"it\'s \\"q\\""'),
            ("line\nfeed", '"line\\nfeed"'),
        ],
    )
    def test_key_forms(self, tmp_path, key, text):
        path = tmp_path / "k.toml"
        e = OrnSettingEngine(str(path), "toml")
        e.set_value("t", {key: 1})
        e.sync()
        assert path.read_text() == f"[t]\n{text} = 1\n"
        assert load(tmp_path, path.read_text())["t"] == {key: 1}

    def test_keys_are_bare_exactly_when_every_byte_may_be(self, tmp_path):
        # Keys are tested sixteen bytes a step, shorter ones as overlapping pieces of
        # themselves: each ASCII character, and one beyond, at every place of every such size.
        chars = [chr(c) for c in range(1, 128)] + ["é"]
        keys = {"a" * at + c + "b" * (length - at - 1): 0
                for length in (1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 32, 33)
                for at in range(length) for c in chars}
        written = saved(tmp_path, {"t": keys})
        assert load(tmp_path, written)["t"] == keys
        bare = {line[:-len(" = 0")] for line in written.split("\n")[1:-1] if line[0] not in "\"'"}
        assert bare == {k for k in keys if all(c.isascii() and (c.isalnum() or c in "-_") for c in k)}

    @pytest.mark.parametrize(
        "tree, message",
        [
            ({"a": {"b": None}}, "TOML cannot store None: unsupported value at `a.b`"),
            ({"s": [{"h": 1}, {"h": None}]}, "TOML cannot store None: unsupported value at `s[1].h`"),
            ({"l": [1, [2, None]]}, "TOML cannot store None: unsupported value at `l[1][1]`"),
            ({"x y": {"k": {"z": None}, "j": 1}}, 'TOML cannot store None: unsupported value at `"x y".k.z`'),
        ],
    )
    def test_refused_trees_leave_the_file(self, tmp_path, tree, message):
        path = tmp_path / "keep.toml"
        path.write_text("old = 1\n")
        e = OrnSettingEngine(str(path), "toml")
        for key, value in tree.items():
            e.set_value(key, value)
        with pytest.raises(TypeError) as err:
            e.sync()
        assert err.value.args == (message,)
        assert path.read_text() == "old = 1\n"
        e.remove(next(iter(tree)))
        e.sync()  # still usable
        assert path.read_text() == "old = 1\n"

    def test_header_and_nesting_limits(self, tmp_path):
        path = tmp_path / "deep.toml"
        e = OrnSettingEngine(str(path), "toml")
        # 80 keys to the value: a table header of 79 keys, as many as a header may have.
        e.set_value("/".join(f"k{i}" for i in range(80)), 1)
        e.sync()
        back = OrnSettingEngine(str(path), "toml")
        assert back.value("/".join(f"k{i}" for i in range(80))) == 1
        e.remove("k0")
        e.set_value("/".join(f"k{i}" for i in range(81)), 1)
        with pytest.raises(TypeError, match=r"^TOML cannot store this tree: the table `k0\.k1\..*k79` needs 80 keys in its header and TOML files are read "
                                            r"back with at most 79$"):
            e.sync()
        e.remove("k0")
        lists = []
        for _ in range(79):
            lists = [lists]
        e.set_value("v", lists)
        e.sync()
        assert OrnSettingEngine(str(path), "toml").value("v") == lists
        e.set_value("v", [lists])
        with pytest.raises(TypeError, match=r"^TOML cannot store this tree: the value at `v(\[0\]){80}` "
                                            r"nests 81 levels deep and TOML files are read back to "
                                            r"at most 80 levels$"):
            e.sync()
        assert OrnSettingEngine(str(path), "toml").value("v") == lists

    def test_loaded_text_is_rewritten_in_the_layout(self, tmp_path):
        path = tmp_path / "l.toml"
        path.write_text("[z]\na=1\n[b]\nx.y = 'q'  # c\n")
        OrnSettingEngine(str(path), "toml").sync()
        assert path.read_text() == '[b.x]\ny = "q"\n\n[z]\na = 1\n'


keys = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
scalars = st.one_of(
    st.booleans(),
    st.integers(min_value=-2**63, max_value=2**64 - 1),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(st.characters(blacklist_categories=("Cs",)), max_size=12),
)
trees = st.dictionaries(
    keys,
    st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4),
                 max_leaves=12),
    max_size=6,
)


class TestRoundTrip:
    @settings(max_examples=150, deadline=None)
    @given(tree=trees)
    def test_saved_trees_come_back(self, tmp_path_factory, tree):
        path = tmp_path_factory.mktemp("rt") / "r.toml"
        e = OrnSettingEngine(str(path), "toml")
        e.set_value("t", tree)
        e.sync()
        want = e.value("")
        assert same(OrnSettingEngine(str(path), "toml").value(""), want)
        assert tomllib.loads(path.read_text(encoding="utf-8")) == want


# Strings are scanned eight bytes at a time: one telling byte at each place around the word
# boundaries of a run, in each string form, written, read back and checked against tomllib.
TELLING = ['"', "'", "\\", "\t", "\n", "\x7f", "\x01", '"""', "'''", "é"]


def string_form(text):
    """The opening the writer must pick for text: the plainest form that holds it unescaped."""
    control = any((c < " " and c not in "\t\n") or c == "\x7f" for c in text)
    longest = {q: max((len(run) for run in re.findall(f"{q}+", text)), default=0) for q in "\"'"}
    if not (control or "\\" in text or '"' in text or "\n" in text):
        return '"'
    if not (control or "'" in text or "\n" in text):
        return "'"
    if not (control or "\\" in text) and longest['"'] <= 2:
        return '"""'
    if not control and longest["'"] <= 2:
        return "'''"
    return '"""' if "\n" in text else '"'


def test_string_forms_follow_the_text_at_any_length(tmp_path):
    # Texts are measured sixteen bytes at a time: telling bytes and runs at every place around
    # the steps and the short tail, each text's form checked against the rules.
    rng = random.Random(5)
    pieces = list("abcdefgh\"'\\\t\n\x01\x7fé") + ['""', "''"] * 4
    values = {f"k{i:03d}": "".join(rng.choice(pieces) for _ in range(i % 41))[: i % 41] for i in range(600)}
    text = saved(tmp_path, {"t": values})
    assert tomllib.loads(text) == {"t": values}
    openings = dict(re.findall(r"^(k\d{3}) = (\"\"\"|'''|\"|')", text, re.MULTILINE))
    assert openings == {key: string_form(value) for key, value in values.items()}


class TestPlainRuns:
    @pytest.mark.parametrize("telling", TELLING)
    def test_strings_written_and_read_at_every_offset(self, tmp_path, telling):
        values = {f"s{i:02d}": "abcdefghijklmnopq"[:i] + telling + "rstuvwxyz0123456"[: 17 - i] for i in range(18)}
        text = saved(tmp_path, {"t": values})
        assert tomllib.loads(text) == {"t": values}
        assert load(tmp_path, text) == {"t": values}

    @pytest.mark.parametrize("i", range(18))
    @pytest.mark.parametrize("quote, escaped", [('"', '\\"'), ('"', "\\\\"), ('"', "\t"), ("'", '"'), ("'", "\\")])
    def test_documents_read_like_tomllib(self, tmp_path, i, quote, escaped):
        text = f"s = {quote}{'x' * i}{escaped}{'y' * (17 - i)}{quote}\n"
        assert load(tmp_path, text) == tomllib.loads(text)

    @pytest.mark.parametrize("i", range(18))
    def test_control_character_is_placed(self, tmp_path, i):
        message = load_error(tmp_path, f's = "{"x" * i}\x01{"y" * 9}"')
        assert message.startswith(f"TOML parse error: TOML parse error at line 1, column {6 + i}\n")
        assert message.endswith("control character in string\n")

    @pytest.mark.parametrize(
        "text",
        ["0.1", "-0.0", "1e5", "1E+05", "1.5e-07", "5e-324", "1.7976931348623157e308", "-2.5E3",
         "123456789012345678.5", "0.30000000000000004", "1_0.5e1_0", "+1.5", "0e0", "9007199254740993.0"],
    )
    def test_floats_are_bit_identical(self, tmp_path, text):
        assert same(load(tmp_path, "n = " + text)["n"], tomllib.loads("n = " + text)["n"])

    @pytest.mark.parametrize("text", ["01.5", "-01.5", "1.e5", "1e", "1e+", "1.5e", "00.0", "1.5.5"])
    def test_malformed_floats(self, tmp_path, text):
        assert load_error(tmp_path, "n = " + text).endswith("^\ninvalid floating-point number\n")


# Headers reuse the tables that the previous header's leading parts led to.
class TestHeaderPaths:
    @pytest.mark.parametrize(
        "text",
        [
            "[[a]]\nx = 1\n[a.b]\ny = 1\n[[a]]\nx = 2\n[a.b]\ny = 2\n[a.b.c]\n",
            "[a.b.c]\n[a.b.d]\n[a.e]\n[a.b.c.f]\n[a]\n",
            '["a.b".c]\n[a.b.c]\n["a.b".d]\n[a."b".e]\n',
            "[x]\n[x.y.z]\nk.l = 1\n[x.y.w]\n[[x.y.v]]\n[[x.y.v]]\n[x.y.v.u]\n",
        ],
    )
    def test_read_like_tomllib(self, tmp_path, text):
        assert load(tmp_path, text) == tomllib.loads(text)

    @pytest.mark.parametrize(
        "text, line, description",
        [
            ("[a.b]\n[a]\n[a.b]\n", 3, "duplicate table"),
            ("[a]\nb = 1\n[a.b.c]\n", 3, "duplicate key"),
            ("[[a]]\n[a.b]\n[a]\n", 3, "duplicate table"),
            ("[a.b]\nc.d = 1\n[a.b.c]\n", 3, "duplicate table"),
        ],
    )
    def test_redefinitions(self, tmp_path, text, line, description):
        with pytest.raises(tomllib.TOMLDecodeError):
            tomllib.loads(text)
        message = load_error(tmp_path, text)
        assert f"at line {line}," in message and message.endswith(description + "\n")
