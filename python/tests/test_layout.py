# SPDX-License-Identifier: MIT
"""The status vector's two layouts and their typed forms."""

import json
import math
import os

import pytest

from vontrel import Mode, Status, Switch, readback_to_writeout, sweep_points
from vontrel._layout import check_setting

# A read-back vector with a distinct value in every entry.
READBACK = [195.0, 92.0, 2455.0, 23.5, 2.75, 22.75, 1.0, 7.0, 1.0, 2.0, 3.0, 0.0, 1.0, -6.25]


def test_readback_entries_4_to_12_move_down_one_and_3_and_13_stay_behind():
    distinct = [float(i * 10 + 1) for i in range(14)]
    assert readback_to_writeout(distinct) == distinct[0:3] + distinct[4:13]


def test_readback_vector_must_be_complete():
    with pytest.raises(ValueError):
        readback_to_writeout([0.0] * 12)
    with pytest.raises(ValueError):
        Status.from_readback([0.0] * 13)


def test_typed_round_trip_writes_what_was_read():
    status = Status.from_readback(READBACK)
    assert status.settings().to_writeout() == readback_to_writeout(READBACK)


@pytest.mark.parametrize("entry, raw, field, expected", [
    (2, 6000.0, "frequency", 6000.0),   # reported as decoded, not clamped
    (6, 3.0, "mode", Mode.LEVEL),
    (8, 0.0, "flag_a", False),
    (9, 2.0, "auto_trim", True),
    (9, 0.0, "auto_trim", False),
    (10, -1.0, "switch", None),
    (10, 4.0, "switch", Switch.SWITCH_4),
    (12, 1.0, "flag_c", True),
    (13, -31.75, "level_min", -31.75),
])
def test_readback_decoding(entry, raw, field, expected):
    values = list(READBACK)
    values[entry] = raw
    assert getattr(Status.from_readback(values), field) == expected


@pytest.mark.parametrize("entry, raw", [(6, 4.0), (6, 1.5), (10, 5.0), (10, 0.5)])
def test_readback_values_outside_their_set_are_refused(entry, raw):
    values = list(READBACK)
    values[entry] = raw
    with pytest.raises(ValueError):
        Status.from_readback(values)


def test_unknown_switch_and_auto_trim_encode_to_what_the_library_expects():
    s = Status.from_readback(READBACK).settings().replace(switch=None, auto_trim=False)
    out = s.to_writeout()
    assert out[9] == -1.0 and out[8] == 0.0


def test_level_range_is_the_calibrated_range():
    status = Status.from_readback(READBACK)
    assert status.level_range == (-6.25, 23.5)  # levelMin, levelMax; not level + attenuation


@pytest.mark.parametrize("name, value", [
    ("frequency", 299.9), ("frequency", 5000.01), ("frequency", math.nan),
    ("attenuation", -0.25), ("attenuation", 32.0), ("attenuation", 0.1), ("level", math.inf),
    ("level", 64.0), ("level", 1.1),
    ("trim_a", 256), ("trim_b", -1), ("stored_setting", 1.5), ("trim_a", True),
    ("mode", 4), ("switch", 5), ("switch", None), ("flag_b", 2), ("auto_trim", 0.5),
    # Wrong types and sizes are bad values too, not TypeError or OverflowError.
    ("frequency", "2455"), ("frequency", None), ("level", 10**400), ("trim_a", math.inf),
    ("trim_b", 10**400), ("mode", "3"), ("mode", 2.5), ("switch", math.nan),
])
def test_bad_settings_are_refused(name, value):
    with pytest.raises(ValueError):
        check_setting(name, value)


def test_unknown_setting_names_the_known_ones():
    with pytest.raises(ValueError, match="frequency"):
        check_setting("freq", 1000.0)


SWEEP_CASES = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "data",
                           "sweep_cases.json")


def _sweep_cases():
    with open(SWEEP_CASES, encoding="utf-8") as f:
        return json.load(f, parse_constant=float)["cases"]


# The same cases as the C++ API's test of vontrel::sweep_points.
@pytest.mark.parametrize("case", _sweep_cases(), ids=lambda c: repr(c)[:60])
def test_sweep_points_are_those_of_the_tool_and_cpp(case):
    start, stop, step = (float(case[k]) for k in ("start", "stop", "step"))
    if case.get("refused"):
        with pytest.raises(ValueError):
            sweep_points(start, stop, step)
    else:
        assert sweep_points(start, stop, step) == case["points"]
