# SPDX-License-Identifier: MIT
"""The mains switch through the package, on the simulated bench."""

import json

import pytest

import vontrel

FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND, FT_DEVICE_NOT_OPENED = 1, 2, 3


@pytest.fixture
def switch_id(bench):
    bench.clear()
    bench.new_unit(4660)
    sw = bench.add_mains_switch(b"Mains Switch", b"MS0001")
    bench.mains_power(sw, 2, 4660)
    bench.add_mains_switch(b"Mains Switch B", b"MS0002")
    return sw


def test_lists_opens_switches_and_reads_back(bench, switch_id):
    assert [(s.index, s.serial) for s in vontrel.list_mains_switches()] == \
        [(1, "MS0001"), (2, "MS0002")]
    assert [s.serial for s in vontrel.list_mains_switches("Mains Switch B")] == ["MS0002"]
    bench.mains_set_lines(switch_id, 0b01010101)
    with vontrel.open_mains_switch(serial="MS0001") as sw:
        assert bench.mains_lines(switch_id) == 0b01010101  # opening changed nothing
        sw.set(2, True)
        sw.set(1, False)
        assert bench.mains_lines(switch_id) == 0b01010110
        assert sw.get(2) and not sw.get(1)
        assert sw.outlets() == (False, True, True, False, True, False, True, False)
        # One process at a time, one handle at a time.
        with pytest.raises(vontrel.VontrelError) as e:
            vontrel.open_mains_switch(serial="MS0001")
        assert e.value.status == FT_DEVICE_NOT_OPENED
    assert bench.open_handles() == 0
    with pytest.raises(vontrel.VontrelError) as e:
        sw.set(1, True)
    assert e.value.status == FT_INVALID_HANDLE


@pytest.mark.parametrize("outlet", [0, 9, -1, True, 1.0, "1", None])
def test_refuses_what_is_not_an_outlet_before_calling(bench, switch_id, outlet):
    with vontrel.open_mains_switch() as sw:
        calls = bench.call_count()
        with pytest.raises(ValueError):
            sw.set(outlet, False)
        with pytest.raises(ValueError):
            sw.get(outlet)
        assert bench.call_count() == calls


def test_a_switch_that_is_not_there_is_named(bench, switch_id):
    with pytest.raises(vontrel.VontrelError) as e:
        vontrel.open_mains_switch(serial="MS9999")
    assert e.value.status == FT_DEVICE_NOT_FOUND
    assert "serial MS9999" in str(e.value)
    for bad in ("x" * 64, "a\0b"):
        with pytest.raises(ValueError):
            vontrel.open_mains_switch(serial=bad)
        with pytest.raises(ValueError):
            vontrel.open_mains_switch(description=bad)
    assert bench.open_handles() == 0


def test_the_units_file_names_a_units_outlet(tmp_path, monkeypatch):
    path = tmp_path / "units.json"
    path.write_text(json.dumps(
        {"units": {"4660": {"power": {"switch": "MS0001", "outlet": 2, "boot_s": 4}}}}))
    outlet = vontrel.outlet_of(4660, str(path))
    assert (outlet.switch_serial, outlet.outlet, outlet.boot_s) == ("MS0001", 2, 4.0)
    monkeypatch.setenv("VONTREL_UNITS", str(path))
    assert vontrel.outlet_of(4660).outlet == 2
    with pytest.raises(ValueError, match="unit 12345 has no mains outlet"):
        vontrel.outlet_of(12345)
