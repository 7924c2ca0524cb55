"""The public TOML 1.1.0 conformance corpus, read as data from the sibling `shared` folder."""

import datetime
import json
import math
import re
from pathlib import Path

import pytest

from _orn_core import OrnSettingEngine

SUITE = Path(__file__).resolve().parents[1].parent / "shared" / "conformance" / "toml"
CARRIER = "$__toml_private_datetime"


def cases(kind):
    listing = SUITE / "files-toml-1.1.0"
    if not listing.is_file():
        return []
    names = [line.strip() for line in listing.read_text().splitlines()]
    return sorted(n for n in names if n.startswith(kind + "/") and n.endswith(".toml"))


# The normalised carrier text: date, time (seconds only when given), fraction, offset.
CARRIER_FORM = re.compile(
    r"^(?:(\d{4})-(\d{2})-(\d{2}))?T?(?:(\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,9}))?)?)?"
    r"(Z|[+-]\d{2}:\d{2})?$")
TAGGED_FORM = re.compile(
    r"^(?:(\d{4})-(\d{2})-(\d{2}))?[Tt ]?(?:(\d{2}):(\d{2})(?::(\d{2})(?:\.(\d+))?)?)?"
    r"([Zz]|[+-]\d{2}:\d{2})?$")


def moment(text, pattern):
    """A date or time as comparable parts: seconds default to 0, fractions to milliseconds, an
    offset date-time becomes UTC."""
    m = pattern.match(text)
    assert m, text
    year, month, day, hour, minute, second, fraction, offset = m.groups()
    millis = int((fraction or "0")[:3].ljust(3, "0"))
    if hour is None:
        return ("date", int(year), int(month), int(day))
    clock = (int(hour), int(minute), int(second or 0), millis)
    if year is None:
        return ("time",) + clock
    date = (int(year), int(month), int(day))
    if offset is None:
        return ("local",) + date + clock
    stamp = datetime.datetime(*date, *clock[:3], clock[3] * 1000, tzinfo=datetime.timezone.utc)
    if offset.upper() != "Z":
        sign = 1 if offset[0] == "+" else -1
        stamp -= sign * datetime.timedelta(hours=int(offset[1:3]), minutes=int(offset[4:6]))
    return ("offset", stamp)


def expected(tagged):
    """The settings value that this system makes of a tagged-JSON expectation."""
    if isinstance(tagged, list):
        return [expected(x) for x in tagged]
    if set(tagged) == {"type", "value"} and isinstance(tagged["value"], str):
        kind, text = tagged["type"], tagged["value"]
        if kind == "string":
            return text
        if kind == "integer":
            return int(text)
        if kind == "bool":
            return text.lower() == "true"
        if kind == "float":
            value = float(text)
            return None if math.isinf(value) or math.isnan(value) else value
        return {CARRIER: moment(text, TAGGED_FORM)}
    return {k: expected(v) for k, v in tagged.items()}


def comparable(got):
    """got with carriers reduced to their moments (checking their normal form on the way)."""
    if isinstance(got, list):
        return [comparable(x) for x in got]
    if isinstance(got, dict):
        if list(got) == [CARRIER]:
            return {CARRIER: moment(got[CARRIER], CARRIER_FORM)}
        return {k: comparable(v) for k, v in got.items()}
    return got


def same_value(got, want):
    if isinstance(want, float):
        return type(got) is float and got == want
    if isinstance(want, bool) or isinstance(want, int):
        return type(got) is type(want) and got == want
    if isinstance(want, list):
        return isinstance(got, list) and len(got) == len(want) and all(map(same_value, got, want))
    if isinstance(want, dict):
        return (isinstance(got, dict) and sorted(got) == sorted(want)
                and all(same_value(got[k], want[k]) for k in want))
    return type(got) is type(want) and got == want


needs_suite = pytest.mark.skipif(not (SUITE / "files-toml-1.1.0").is_file(),
                                 reason="the conformance corpus is not beside the project")


@needs_suite
@pytest.mark.parametrize("name", cases("valid"))
def test_valid(name):
    engine = OrnSettingEngine(str(SUITE / name), "toml")
    want = expected(json.loads((SUITE / name).with_suffix(".json").read_text(encoding="utf-8")))
    got = comparable(engine.value(""))
    assert same_value(got, want), (got, want)


@needs_suite
@pytest.mark.parametrize("name", cases("invalid"))
def test_invalid(name):
    raw = (SUITE / name).read_bytes()
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(OSError) as err:
            OrnSettingEngine(str(SUITE / name), "toml")
        assert err.value.args == ("stream did not contain valid UTF-8",)
        return
    with pytest.raises(TypeError) as err:
        OrnSettingEngine(str(SUITE / name), "toml")
    (message,) = err.value.args
    assert message.startswith("TOML parse error: TOML parse error at line ")
    assert message.endswith("\n")


@needs_suite
def test_the_whole_list_is_run():
    assert len(cases("valid")) == 220 and len(cases("invalid")) == 492
