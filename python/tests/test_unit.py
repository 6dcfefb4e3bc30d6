# SPDX-License-Identifier: MIT
"""The package driving units on the simulated bench."""

import gc
import math
import os
import subprocess
import sys
import threading

import pytest

import vontrel
from vontrel import Mode, Settings, Switch

FT_IO_ERROR, FT_INVALID_HANDLE = 4, 1


# --- Opening and closing -------------------------------------------------

def test_open_all_finds_units_at_their_enumeration_index(bench):
    bench.load_default_bench()  # unit, other converter, unit
    units = vontrel.open_all()
    try:
        assert [(u.serial, u.index) for u in units] == [(4660, 0), (12345, 2)]
        assert bench.open_handles() == 2
    finally:
        for u in units:
            u.close()


def test_open_by_serial_closes_the_others(bench):
    bench.load_default_bench()
    with vontrel.open(serial=12345) as u:
        assert u.serial == 12345 and bench.open_handles() == 1
    assert bench.open_handles() == 0


@pytest.mark.parametrize("setup", ["empty", "other_serial", "not_a_unit"])
def test_open_without_a_match_raises_and_leaves_nothing_open(bench, setup):
    if setup == "other_serial":
        bench.new_unit(1)
    elif setup == "not_a_unit":
        bench.add_converter(b"USB <-> Serial Cable")
    with pytest.raises(vontrel.UnitNotFoundError, match="not found"):
        vontrel.open(serial=777)
    assert bench.open_handles() == 0


@pytest.mark.parametrize("serial", ["4660", True, -1, 70000, 1.5])
def test_open_refuses_what_is_not_a_serial_number(bench, serial):
    bench.new_unit(4660)
    with pytest.raises(ValueError):
        vontrel.open(serial=serial)


def test_a_bench_the_simulator_cannot_use_is_named(tmp_path):
    # Another process, so that the simulator loads its configured bench.
    bad = tmp_path / "bench.json"
    bad.write_text('{"converters": [{"serial": "x"}]}')
    env = dict(os.environ, VONTREL_SIM_CONFIG=str(bad), VONTREL_SIM_STATE="memory",
               PYTHONPATH=os.path.dirname(os.path.dirname(vontrel.__file__)),
               VONTREL_LIBRARY=vontrel.library_path())
    run = subprocess.run([sys.executable, "-c", "import vontrel; vontrel.open()"], env=env,
                         capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode != 0
    assert f"bench description {bad}: converters[0].serial" in run.stderr


def test_open_all_on_an_empty_bench_is_empty(bench):
    assert vontrel.open_all() == []


def test_a_unit_that_fails_to_open_is_reported(bench):
    bench.new_unit(1)
    held = bench.hold(0)
    with pytest.raises(vontrel.VontrelError, match="index 0 .*in use by another program") as e:
        vontrel.open_all()
    assert e.value.name == "FT_DEVICE_NOT_OPENED"
    bench.release(held)


def test_context_manager_closes_when_the_body_raises(bench):
    bench.new_unit(1)
    with pytest.raises(RuntimeError):
        with vontrel.open():
            raise RuntimeError("body failed")
    assert bench.open_handles() == 0


def test_a_forgotten_unit_is_closed_when_collected(bench):
    bench.new_unit(1)
    u = vontrel.open()
    del u
    gc.collect()
    assert bench.open_handles() == 0


@pytest.mark.parametrize("use", [
    lambda u: u.status, lambda u: u.info, lambda u: u.locked, lambda u: u.preset(),
    lambda u: u.apply(frequency=1000.0),
])
def test_a_closed_unit_refuses_every_call(bench, use):
    bench.new_unit(1)
    u = vontrel.open()
    u.close()
    u.close()  # twice is fine
    calls = bench.call_count()
    with pytest.raises(vontrel.VontrelError) as e:
        use(u)
    assert e.value.status == FT_INVALID_HANDLE and bench.call_count() == calls


# --- Reading -------------------------------------------------------------

def test_info_decodes_the_identity_block(bench):
    uid = bench.new_unit(0)
    for address, byte in enumerate([0x39, 0x30, 0x05, 0x02, 0x0C, 0x07, 0x0B, 0x02, 0x46, 0x8C]):
        bench.set_memory(uid, address, byte)
    with vontrel.open() as u:
        assert u.info == vontrel.Info(12345, "2.5", "C", "07/12/2011", "70 MHz - -116 MHz")


def test_status_of_the_power_up_image(unit):
    s = unit.status
    assert (s.frequency, s.trim_a, s.trim_b, s.attenuation) == (1000.0, 195, 92, 22.75)
    assert (s.mode, s.switch, s.flag_a, s.flag_b, s.flag_c) == (Mode.LEVEL, Switch.SWITCH_2,
                                                               False, False, False)
    assert s.level_min <= s.level <= s.level_max


def test_an_unknown_switch_pattern_reads_as_none(bench):
    uid = bench.new_unit(1)
    bench.set_register(uid, 0, bench.get_register(uid, 0) & ~(0x1F << 19))
    with vontrel.open() as u:
        assert u.status.switch is None


@pytest.mark.parametrize("use", [
    lambda u: u.status, lambda u: u.info, lambda u: u.locked, lambda u: u.preset(),
    lambda u: u.save_user_preset(), lambda u: u.write(SETTINGS),
])
def test_a_failed_exchange_raises_with_its_status(bench, use):
    uid = bench.new_unit(1)
    with vontrel.open() as u:
        bench.unplug(uid)
        with pytest.raises(vontrel.VontrelError) as e:
            use(u)
        assert (e.value.status, e.value.name) == (FT_IO_ERROR, "FT_IO_ERROR")


# --- Programming ---------------------------------------------------------

SETTINGS = Settings(trim_a=10, trim_b=20, frequency=1000.0, level=0.0, attenuation=10.0,
                    mode=Mode.MODE_0, stored_setting=5, flag_a=True, auto_trim=False,
                    switch=Switch.SWITCH_0, flag_b=False, flag_c=False)


@pytest.mark.parametrize("changes, memory, words", [
    ({}, {}, "28884000 60100029 98A0190A 0000000B 4B00B02C 0D03A28D 9A82814E D041100F"),
    (dict(frequency=2455.0, level=2.0, mode=Mode.LEVEL, flag_a=False, auto_trim=True,
          switch=Switch.SWITCH_2, flag_b=True, flag_c=True),
     {171: 186, 360: 136, 549: 114},
     "6AD4F000 60100029 90801EAA 2000000B CA1EA00C 0D03A28D 9091174E D041100F"),
    (dict(frequency=1400.0, attenuation=0.0, mode=Mode.MODE_2, switch=Switch.SWITCH_3), {},
     "00308000 60100029 90A0118A 0000000B 4B00B02C 0D03A28D 9582814E D041100F"),
])
def test_settings_program_the_expected_register_words(bench, changes, memory, words):
    uid = bench.new_unit(1)
    for address, byte in memory.items():
        bench.set_memory(uid, address, byte)
    with vontrel.open() as u:
        u.write(SETTINGS.replace(**changes))
    assert " ".join(f"{w:08X}" for w in bench.registers(uid)) == words
    assert [bench.get_memory(uid, a) for a in (83, 84, 45)] == [10, 20, 5]


def test_apply_changes_only_what_it_is_given(unit):
    unit.write(SETTINGS.replace(mode=Mode.MODE_1, switch=Switch.SWITCH_4, flag_b=True,
                                flag_c=True, stored_setting=9))
    before = unit.status
    unit.apply(frequency=2455.0)
    after = unit.status
    assert after.frequency == 2455.0
    for field in ("mode", "switch", "flag_a", "flag_b", "flag_c", "stored_setting",
                  "attenuation", "trim_a", "trim_b"):
        assert getattr(after, field) == getattr(before, field), field


def test_apply_level_and_wait_for_lock(unit):
    assert not unit.wait_lock(0)  # a unit never programmed since power-up
    unit.apply(frequency=2455.0, mode=Mode.LEVEL, level=5.0)
    assert unit.wait_lock(1.0)
    s = unit.status
    assert (s.frequency, s.mode, s.level) == (2455.0, Mode.LEVEL, 5.0)
    unit.apply(mode=Mode.MODE_1)  # the attenuation that gave that level stays
    assert unit.status.level == 5.0


def test_levels_in_dbm_by_the_units_file(bench, tmp_path):
    bench.new_unit(4660)
    units = tmp_path / "units.json"
    units.write_text('{"units": {"4660": {"level_offset_db": -3.1}}}')
    with vontrel.open(units=str(units)) as u:
        assert u.config.level_offset_db == -3.1
        u.apply(frequency=2455.0, mode=Mode.LEVEL, level_dbm=2.0)  # 5.1: the nearest step is 5
        assert (u.status.level, u.level_dbm) == (5.0, 1.9)
        low, high = u.status.level_range
        assert u.level_range_dbm == (u.config.dbm(low), u.config.dbm(high))
    units.write_text('{"units": {}}')
    with vontrel.open(units=str(units)) as u:
        with pytest.raises(ValueError, match="no level calibration"):
            u.apply(level_dbm=2.0)
        with pytest.raises(ValueError, match="no level calibration"):
            u.level_dbm


@pytest.mark.parametrize("changes", [
    dict(level=1.0, mode=Mode.MODE_1),
    dict(attenuation=1.0, mode=Mode.LEVEL),
    dict(level=100.0),          # beyond attenuation code 0 at this frequency
    dict(frequency=6000.0),
    dict(colour="blue"),
])
def test_apply_refuses_bad_settings_before_sending_anything(bench, unit, changes):
    uid = 0
    before = bench.registers(uid)
    with pytest.raises((ValueError, TypeError)):
        unit.apply(**changes)
    assert bench.registers(uid) == before


@pytest.mark.parametrize("changes", [dict(mode=Mode.LEVEL), dict(mode=Mode.LEVEL, switch=1)])
def test_mode_3_is_refused_at_a_kept_level_outside_the_range(bench, unit, changes):
    unit.apply(frequency=2455.0, mode=Mode.MODE_1, attenuation=0.0)
    s = unit.status
    assert s.level > s.level_max  # attenuation 0 gives more than the calibration reaches
    before = bench.registers(0)
    with pytest.raises(ValueError, match="outside"):
        unit.apply(**changes)
    assert bench.registers(0) == before


def test_a_frequency_read_back_outside_the_range_is_not_written_back(bench, unit):
    for r in range(8):
        bench.set_register(0, r, 0)  # no frequency at all
    with pytest.raises(ValueError, match="pass frequency="):
        unit.apply(attenuation=5.0)
    assert bench.registers(0) == [0] * 8
    unit.apply(attenuation=5.0, frequency=1000.0)
    assert unit.status.frequency == 1000.0


def test_preset_restores_the_saved_user_preset(unit):
    unit.apply(frequency=1500.0)
    unit.save_user_preset()
    unit.apply(frequency=3000.0)
    unit.preset()
    assert unit.status.frequency == 1500.0


def test_sweep_steps_inclusive_and_locks(unit):
    points = list(unit.sweep(2400.0, 2500.0, 50.0, mode=Mode.MODE_1, attenuation=4.0))
    assert points == [vontrel.SweepPoint(f, True) for f in (2400.0, 2450.0, 2500.0)]
    s = unit.status
    assert (s.frequency, s.mode, s.attenuation) == (2500.0, Mode.MODE_1, 4.0)


@pytest.mark.parametrize("start, stop, step", [(2400, 2500, 0), (2500, 2400, -50),
                                                (4900, 5100, 100), (300, 5000, 0.01),
                                                (2400, 2500, math.nan), (2400, "2500", 50)])
def test_sweep_refuses_bad_ranges_before_sending_anything(bench, unit, start, stop, step):
    calls = bench.call_count()
    with pytest.raises(ValueError):
        next(unit.sweep(start, stop, step))
    assert bench.call_count() == calls


@pytest.mark.parametrize("call", [
    lambda u: u.wait_lock(math.nan), lambda u: u.wait_lock(math.inf), lambda u: u.wait_lock(-1),
    lambda u: u.wait_lock(3601), lambda u: u.wait_lock("1"),
    lambda u: u.wait_lock(1.0, poll_interval=0),
    lambda u: next(u.sweep(2400, 2500, 50, dwell=math.nan)),
    lambda u: next(u.sweep(2400, 2500, 50, lock_timeout=1e9)),
    lambda u: next(u.sweep(2400, 2500, 50, level="5")),
])
def test_bad_times_and_values_are_refused_before_sending_anything(bench, unit, call):
    calls = bench.call_count()
    with pytest.raises(ValueError):
        call(unit)
    assert bench.call_count() == calls


@pytest.mark.parametrize("wait", [0, 1.0])
def test_a_unit_in_use_is_waited_for_or_reported_as_such(bench, wait):
    bench.new_unit(4660)
    held = bench.hold(0)  # another program has it
    if wait:
        threading.Timer(0.2, bench.release, [held]).start()
        with vontrel.open(serial=4660, wait=wait) as u:
            assert u.serial == 4660
    else:
        with pytest.raises(vontrel.VontrelError, match="in use by another program") as e:
            vontrel.open(serial=4660, wait=wait)
        assert e.value.name == "FT_DEVICE_NOT_OPENED"
        bench.release(held)


def test_a_unit_that_does_not_answer_is_called_so_and_one_that_works_is_not_hidden(bench):
    silent = bench.new_unit(1)
    bench.new_unit(2)
    bench.late_train(silent, 1, 600000, None, 0)  # it stops answering
    units = vontrel.open_all()
    assert [u.serial for u in units] == [2]
    for u in units:
        u.close()
    with pytest.raises(vontrel.VontrelError, match="index 0 .*: not answering") as e:
        vontrel.open(serial=1, wait=0)
    assert "in use" not in str(e.value)
    bench.clear_faults()


@pytest.mark.parametrize("level", [30.0, -30.0])  # reference at 2455 MHz: 95
def test_a_level_out_of_reach_at_a_new_frequency_is_undone(unit, level):
    unit.apply(frequency=1000.0, mode=Mode.LEVEL, level=5.0)
    with pytest.raises(ValueError, match="restored"):
        unit.apply(frequency=2455.0, level=level)
    s = unit.status
    assert (s.frequency, s.level) == (1000.0, 5.0)


def test_a_level_sweep_stops_where_the_level_is_out_of_reach(bench, unit):
    # Make the reference fall steeply above 3000 MHz so 20.0 is out of reach there.
    for k in range(110, 189):
        bench.set_memory(0, 463 + k, 60)
    sweep = unit.sweep(2900.0, 3100.0, 100.0, mode=Mode.LEVEL, level=20.0)
    assert next(sweep).locked and next(sweep).locked
    with pytest.raises(ValueError):
        next(sweep)
    assert unit.status.frequency == 3000.0


def test_one_unit_shared_between_threads_keeps_its_exchanges_apart(unit):
    unit.apply(frequency=2455.0)
    errors = []

    def hammer(read):
        try:
            for _ in range(200):
                read()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    readers = [lambda: unit.info.serial == 4660 or errors.append("info"),
               lambda: unit.status.frequency == 2455.0 or errors.append("status")]
    threads = [threading.Thread(target=hammer, args=(r,)) for r in readers * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.parametrize("nth_write", [1, 8, 14])  # of 14 exchanges: byte 83, register 1, register 7
def test_a_write_failing_anywhere_in_apply_raises(bench, unit, nth_write):
    bench.fail_call(b"FT_Write", nth_write, 4)
    with pytest.raises(vontrel.VontrelError) as e:
        unit.write(unit.status.settings().replace(frequency=3000.0))
    assert e.value.name == "FT_IO_ERROR"


@pytest.mark.parametrize("nth_read", [1, 7, 13])  # of the read-back's 13: register 0, 6, byte 45
def test_apply_writes_nothing_when_its_read_back_failed(bench, unit, nth_read):
    before = (bench.registers(0), [bench.get_memory(0, a) for a in (45, 83, 84)])
    bench.fail_call(b"FT_Read", nth_read, 4)
    with pytest.raises(vontrel.VontrelError) as e:
        unit.apply(attenuation=7.0, stored_setting=99)
    assert e.value.name == "FT_IO_ERROR"
    assert e.value.function == "Vontrel_ReadStatus"
    assert (bench.registers(0), [bench.get_memory(0, a) for a in (45, 83, 84)]) == before
