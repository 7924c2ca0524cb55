"""JSON strings scanned sixteen or eight bytes at a time: a stop byte (quotation mark, backslash,
control character) or a byte above 0x7F must be found at every offset of a block, with the same
values as json.loads and the same messages and positions as before."""

import json

import pytest

from _orn_core import OrnSettingEngine

OFFSETS = list(range(0, 35))


def load(tmp_path, raw):
    path = tmp_path / "s.json"
    path.write_bytes(raw)
    return OrnSettingEngine(str(path)).value("")


class TestStringScan:
    @pytest.mark.parametrize("middle", ['\\"', "\\\\", "\\n", "\\u00e9", "é", "\u20ac", "\U0001f600", "\x7f"])
    def test_values(self, tmp_path, middle):
        # Each offset once as a value and once as a key, so every byte lands at every position.
        texts = ["a" * k + middle + "b" * (k % 7) for k in OFFSETS]
        raw = "[" + ", ".join(f'"{t}"' for t in texts) + "]"
        assert load(tmp_path, raw.encode()) == json.loads(raw)
        raw = "{" + ", ".join(f'"{t}": {i}' for i, t in enumerate(texts)) + "}"
        assert load(tmp_path, raw.encode()) == json.loads(raw)

    @pytest.mark.parametrize("k", OFFSETS)
    def test_control_character(self, tmp_path, k):
        with pytest.raises(TypeError) as err:
            load(tmp_path, b'["' + b"a" * k + b"\x1f" + b"a" * 40 + b'"]')
        assert err.value.args == (
            "JSON parse error: control character (\\u0000-\\u001F) found while parsing a string"
            f" at line 1 column {k + 3}",)

    @pytest.mark.parametrize("k", OFFSETS)
    def test_invalid_utf8(self, tmp_path, k):
        with pytest.raises(TypeError, match=r"^JSON parse error: invalid unicode code point at line 1"):
            load(tmp_path, b'["' + b"a" * k + b"\xff" + b"a" * 40 + b'"]')

    @pytest.mark.parametrize("k", [0, 1, 15, 16, 17, 31])
    def test_unterminated(self, tmp_path, k):
        with pytest.raises(TypeError) as err:
            load(tmp_path, b'["' + b"a" * k)
        assert err.value.args == (f"JSON parse error: EOF while parsing a string at line 1 column {k + 2}",)
