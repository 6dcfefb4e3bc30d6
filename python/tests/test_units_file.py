# SPDX-License-Identifier: MIT
"""The units file against the cases the C++ reader is checked against too."""

import json
import os

import pytest

from vontrel._units_file import DEFAULT_BOOT_S, UnitConfig, load_units_file, parse_units_file

CASES = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "data",
                     "units_file_cases.json")


def _cases(kind="cases"):
    with open(CASES, encoding="utf-8") as f:
        return json.load(f)[kind]


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
            assert got.power.boot_s == want.get("boot_s", DEFAULT_BOOT_S)
        else:
            assert got.power is None


def test_levels_in_dbm_and_output_off_as_the_cpp_service_has_them():
    for case in _cases("levels"):
        assert UnitConfig(case["offset_db"]).dbm(case["level"]) == case["dbm"], case
    for case in _cases("taken"):
        assert UnitConfig(case["offset_db"]).level_of_dbm(case["dbm"]) == case["level"], case
    for case in _cases("output_off"):
        entry = parse_units_file(json.dumps({"units": {"1": case["entry"]}}), "f").for_unit(1)
        assert entry.effective_output_off == case["effective"], case
    with pytest.raises(ValueError, match="level_offset_db in the units file"):
        UnitConfig().dbm(0.0)


def test_a_unit_the_file_does_not_name_has_nothing_set():
    assert parse_units_file('{"units": {"1": {}}}', "f").for_unit(2) == UnitConfig()


def test_only_a_regular_file_is_read(tmp_path):
    """A FIFO nobody writes would never end; a folder or a device is no units file."""
    fifo = tmp_path / "units.fifo"
    os.mkfifo(fifo)
    for path in (str(fifo), str(tmp_path), "/dev/zero"):
        with pytest.raises(ValueError, match="not a regular file"):
            load_units_file(path)
