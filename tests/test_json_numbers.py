"""JSON numbers against Python's own reading: the short-number path of the reader (64-bit digits,
a 128-bit product, exact small powers) must give the very doubles float() gives, and leave every
malformed or unusual number to the byte-by-byte reader with its messages and positions."""

import random

import pytest

from _orn_core import OrnSettingEngine


def load_list(tmp_path, texts, sep=", "):
    path = tmp_path / "n.json"
    path.write_text("[" + sep.join(texts) + "]", encoding="ascii")
    return OrnSettingEngine(str(path)).value("")


def renderings(rng, count):
    """Real doubles written with 15 to 19 significant digits, some nudged in the last digit."""
    out = []
    while len(out) < count:
        value = rng.choice([rng.uniform(-1e6, 1e6), rng.random(), 10.0 ** rng.uniform(-310, 308)])
        text = f"{value:.{rng.randint(14, 18)}e}"
        if rng.random() < 0.3:
            mantissa, exponent = text.split("e")
            last = (int(mantissa[-1]) + rng.choice([1, 9])) % 10
            text = f"{mantissa[:-1]}{last}e{exponent}"
        out.append(text)
    return out


BOUNDARIES = {
    # Either side of 2^53 as a significand, and of 2^64 (beyond 19 digits).
    "2^53": ["9007199254740991", "9007199254740992", "9007199254740993", "9007199254740994",
             "9007199254740995", "9007199254740993.0", "900719925474099.25", "18014398509481985.0",
             "18446744073709551615.0", "18446744073709551616.0", "-9007199254740993e1"],
    # 19 digits still fit 64 bits; the 20th goes to the correctly rounded slow path.
    "digits": ["1234567890123456789e-10", "9999999999999999999e-19", "9999999999999999999.0",
               "12345678901234567891e-10", "0.1000000000000000055511151231257827",
               "0.30000000000000004", "0.3000000000000000444", "1.00000000000000011102230246251565"],
    # The last exact power of ten is 10^22.
    "scales": ["1e22", "1e23", "9007199254740993e22", "4.9e22", "1e-22", "1e-23", "3e-22",
               "123456789e-31", "7.0e+22", "8.5e-23", "1.7e22", "1.8e-22"],
    # Subnormals, the smallest normal, the largest double and what rounds past it.
    "ends": ["2.2250738585072011e-308", "2.2250738585072014e-308", "2.2250738585072009e-308",
             "4.9406564584124654e-324", "2.4703282292062328e-324", "2.4703282292062327e-324",
             "1e-320", "1.7976931348623157e308", "1.7976931348623158e308",
             "1.7976931348623157e+308", "1e-342", "1e-343", "1e308", "0.1e-340"],
    # Exact halfway points between neighbouring doubles: ties go to the even one.
    "halfway": ["9007199254740993e0", "9007199254740995e0", "4503599627370496.5",
                "4503599627370497.5", "1.00000000000000011102230246251565404236316680908203125",
                "144115188075855877e0", "288230376151711745e-1", "2.5", "-1.5e-1"],
}


class TestFloatsMatchPython:
    @pytest.mark.parametrize("group", sorted(BOUNDARIES))
    def test_boundaries(self, tmp_path, group):
        texts = BOUNDARIES[group]
        got = load_list(tmp_path, texts)
        for text, value in zip(texts, got):
            expected = float(text) if any(c in text for c in ".eE") or int(text) >= 2**64 else int(text)
            assert (text, repr(value)) == (text, repr(expected))

    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_rendered_doubles(self, tmp_path, seed):
        texts = renderings(random.Random(seed), 3000)
        got = load_list(tmp_path, texts)
        assert [v.hex() for v in got] == [float(t).hex() for t in texts]

    # A number that straddles a refill of the reader's window (whichever of these sizes it has)
    # takes the slow path in pieces.
    @pytest.mark.parametrize("boundary", [8192, 65536])
    def test_across_refills(self, tmp_path, boundary):
        texts = renderings(random.Random(boundary), 30)
        for shift, text in enumerate(texts):
            path = tmp_path / "n.json"
            path.write_text("[" + " " * (boundary - 1 - shift) + text + "]", encoding="ascii")
            got = OrnSettingEngine(str(path)).value("")[0]
            assert (text, got.hex()) == (text, float(text).hex())


class TestMalformedNumbers:
    @pytest.mark.parametrize(
        "text, message",
        [
            ("[1.5e]", "invalid number at line 1 column 6"),
            ("[-01]", "invalid number at line 1 column 4"),
            ("[1e+]", "invalid number at line 1 column 5"),
            ("[1.e5]", "invalid number at line 1 column 4"),
            ("[-]", "invalid number at line 1 column 3"),
            ("[1e99999]", "number out of range at line 1 column 8"),
            ("[1e0400]", "number out of range at line 1 column 7"),
            ("[-1e400]", "number out of range at line 1 column 7"),
            ("[2e+308]", "number out of range at line 1 column 7"),
            ("[123456789012345678901234567890e400]", "number out of range at line 1 column 35"),
            ("[1E5x]", "expected `,` or `]` at line 1 column 5"),
            ("[1.5", "EOF while parsing a list at line 1 column 4"),
        ],
    )
    def test_messages(self, tmp_path, text, message):
        path = tmp_path / "bad.json"
        path.write_text(text, encoding="ascii")
        with pytest.raises(TypeError) as err:
            OrnSettingEngine(str(path))
        assert err.value.args == ("JSON parse error: " + message,)

    @pytest.mark.parametrize("text, value", [("0.1e-99999999999", 0.0), ("-1e-400", -0.0),
                                             ("12345678901234567890", 12345678901234567890),
                                             ("-9223372036854775809", -9.223372036854775808e18)])
    def test_long_forms(self, tmp_path, text, value):
        got = load_list(tmp_path, [text])[0]
        assert type(got) is type(value) and repr(got) == repr(value)
