# SPDX-License-Identifier: MIT
"""The units file against the cases the C++ reader is checked against too."""

import json
import os

import pytest

from vontrel._units_file import UnitConfig, parse_units_file

CASES = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "data",
                     "units_file_cases.json")


def _cases():
    with open(CASES, encoding="utf-8") as f:
        return json.load(f)["cases"]


@pytest.mark.parametrize("case", _cases(), ids=lambda c: c["text"][:60])
def test_reads_what_the_cases_say_and_refuses_with_the_place(case):
    if "error" in case:
        with pytest.raises(ValueError) as e:
            parse_units_file(case["text"], "units.json")
        assert str(e.value).startswith(f"units.json: {case['error']}: ")
        return
    file = parse_units_file(case["text"], "units.json")
    assert len(file.units) == len(case["units"])
    for serial, want in case["units"].items():
        got = file.for_unit(int(serial))
        assert got.level_offset_db == want.get("level_offset_db")
        assert got.output_off == want.get("output_off")
        if "outlet" in want:
            assert got.power is not None
            assert (got.power.switch_serial, got.power.outlet) == (want["switch"], want["outlet"])
        else:
            assert got.power is None


def test_a_unit_the_file_does_not_name_has_nothing_set():
    assert parse_units_file('{"units": {"1": {}}}', "f").for_unit(2) == UnitConfig()
