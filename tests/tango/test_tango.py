# SPDX-License-Identifier: MIT
"""vontrel-tango as a Tango client sees it: python3-tango's DeviceProxy
against the server run without a database, over the simulated bench, on
loopback only.
"""

import json
import os
import subprocess
import threading
import time

import pytest

from conftest import TangoServer

tango = pytest.importorskip("tango", reason="python3-tango is not installed")

DEVICE = "lab/vontrel/4660"


@pytest.fixture
def server(tmp_path):
    s = TangoServer(tmp_path)
    yield s
    s.stop()


def frames_programming(server):
    """Frames sent that change the unit: all but register, memory and lock
    detect reads (commands 00, 0D, 0B)."""
    return sum(1 for command in server.frames() if command not in ("00", "0D", "0B"))


def refused(proxy, name, value):
    """The DevFailed a write raises, as (reason, description)."""
    with pytest.raises(tango.DevFailed) as e:
        proxy.write_attribute(name, value)
    return e.value.args[0].reason, e.value.args[0].desc


def test_writes_reach_the_unit_and_refused_ones_change_nothing(server):
    p = server.proxy()
    p.write_attribute("Frequency", 2.455e9)
    assert p.read_attribute("Frequency").value == pytest.approx(2.455e9)
    assert p.read_attribute("SerialNumber").value == 4660
    low, high = p.read_attribute("LevelMin").value, p.read_attribute("LevelMax").value
    assert low < high
    p.write_attribute("Level", low)
    assert (p.read_attribute("Mode").value, p.read_attribute("Level").value) == (3, low)

    sent = frames_programming(server)
    for name, value, reason, words in [
            ("Frequency", 6e9, "API_WAttrOutsideLimit", ""),
            ("Frequency", 1e8, "API_WAttrOutsideLimit", ""),
            ("Level", high + 0.25, "VONTREL_Refused", "calibrated range"),
            ("Level", low - 0.25, "VONTREL_Refused", "calibrated range"),
            ("Attenuation", 40.0, "API_WAttrOutsideLimit", ""),
    ]:
        got = refused(p, name, value)
        assert got[0] == reason and words in got[1], (name, value, got)
    # Neither the value read nor the set point shows a refused value.
    for name, held in [("Frequency", 2.455e9), ("Level", low)]:
        value = p.read_attribute(name)
        assert (value.value, value.w_value) == (pytest.approx(held), pytest.approx(held)), name
    # Tango refused the out-of-range writes before the device saw them, and
    # the level policy refused the levels before programming anything.
    assert frames_programming(server) == sent > 0

    assert server.stop() == 0
    # What the unit holds, read back through the library once the server
    # has let it go.
    out = subprocess.run([os.environ["VONTREL_TOOL"], "--json", "--unit", "serial:4660",
                          "status"], capture_output=True, text=True, env=server.env, timeout=30)
    assert out.returncode == 0, out
    assert json.loads(out.stdout)["frequency_mhz"] == pytest.approx(2455.0)


def test_a_level_calibration_in_the_units_file_gives_the_level_in_dbm(tmp_path):
    units = tmp_path / "units.json"
    units.write_text('{"units": {"4660": {"level_offset_db": -3.25}}}')
    server = TangoServer(tmp_path, VONTREL_UNITS=str(units))
    try:
        p = server.proxy()
        low, high = p.read_attribute("LevelMin").value, p.read_attribute("LevelMax").value
        p.write_attribute("Level", low)
        assert p.read_attribute("LevelDbm").value == low - 3.25
        assert p.get_attribute_config("LevelDbm").unit == "dBm"
        reason, text = refused(p, "Level", high + 0.25)
        assert reason == "VONTREL_Refused" and f"{high + 0.25 - 3.25:g} dBm is outside" in text
    finally:
        assert server.stop() == 0
    # A units file it cannot take drives no unit, and says why.
    units.write_text('{"units": {"4660": {"level_offset_db": "3"}}}')
    server = TangoServer(tmp_path, VONTREL_UNITS=str(units))
    try:
        assert server.proxy().state() == tango.DevState.FAULT
        assert "units.4660.level_offset_db" in server.proxy().status()
    finally:
        assert server.stop() == 0


def test_change_events_from_another_clients_write(server):
    watcher, writer = server.proxy(), server.proxy()
    events = {"Frequency": [], "Locked": [], "State": []}
    arrived = threading.Condition()

    def on_event(name):
        def push(event):
            if not event.err:
                with arrived:
                    events[name].append((time.monotonic(), event.attr_value.value))
                    arrived.notify_all()
        return push

    ids = [watcher.subscribe_event(name, tango.EventType.CHANGE_EVENT, on_event(name))
           for name in events]
    try:
        written = time.monotonic()
        writer.write_attribute("Frequency", 1.5e9)
        with arrived:
            assert arrived.wait_for(lambda: any(
                v == pytest.approx(1.5e9) for _, v in events["Frequency"]), timeout=1.0)
            at = next(t for t, v in events["Frequency"] if v == pytest.approx(1.5e9))
            assert at - written < 1.0
            # The lock poll saw the programmed unit lock.
            assert arrived.wait_for(lambda: events["Locked"] and events["Locked"][-1][1],
                                    timeout=2.0)
            assert arrived.wait_for(
                lambda: events["State"] and events["State"][-1][1] == tango.DevState.ON,
                timeout=2.0), events["State"]
        assert watcher.state() == tango.DevState.ON
    finally:
        for i in ids:
            watcher.unsubscribe_event(i)


def test_list_sweep_refuses_changes_until_it_ends_or_is_aborted(server):
    p = server.proxy()
    p.command_inout("ListSweep", [5.0, 1e9, 2e9])
    assert "list sweep runs" in p.status()
    assert refused(p, "Frequency", 3e9)[0] == "VONTREL_SweepRunning"
    with pytest.raises(tango.DevFailed):
        p.command_inout("Preset")
    with pytest.raises(tango.DevFailed):
        p.command_inout("ListSweep", [0.1, 1e9])
    start = time.monotonic()
    p.command_inout("Abort")
    assert time.monotonic() - start < 2.5  # not the 5 s dwell, even on a loaded machine
    assert p.read_attribute("Frequency").value == pytest.approx(1e9)  # the first point's
    p.write_attribute("Frequency", 3e9)

    p.command_inout("ListSweep", [0.05, 1.1e9, 1.2e9])
    deadline = time.monotonic() + 5
    while "list sweep runs" in p.status():
        assert time.monotonic() < deadline
        time.sleep(0.05)
    swept = p.read_attribute("Frequency")  # the set point follows the sweep too
    assert (swept.value, swept.w_value) == (pytest.approx(1.2e9), pytest.approx(1.2e9))
    for bad in ([0.1], [-1.0, 1e9], [0.1, 6e9]):
        with pytest.raises(tango.DevFailed):
            p.command_inout("ListSweep", bad)


def test_a_unit_that_stops_answering_is_fault_until_it_answers_again(tmp_path):
    # No lock poll: only this test's reads of Locked reach the unit, one
    # read each, so one of them meets the failing reads.
    faults = ",".join(f"FT_Read:{n}:FT_IO_ERROR" for n in range(100, 103))
    server = TangoServer(tmp_path, VONTREL_SIM_FAIL=faults, VONTREL_TANGO_LOCK_POLL_S="0")
    try:
        p = server.proxy()
        p.write_attribute("Frequency", 2e9)
        errors, states = [], []
        deadline = time.monotonic() + 15
        while not (errors and states[-1] == tango.DevState.ON):
            assert time.monotonic() < deadline, (errors, states)
            try:
                p.read_attribute("Locked")
            except tango.DevFailed as e:
                errors.append(e.args[0].desc)
                assert p.state() == tango.DevState.FAULT
                assert "Vontrel_" in p.status() and "FT_" in p.status(), p.status()
                time.sleep(0.1)
            states.append(p.state())
        assert any("Vontrel_ReadLD" in e and "FT_IO_ERROR" in e for e in errors), errors
        assert p.read_attribute("Frequency").value == pytest.approx(2e9)
    finally:
        assert server.stop() == 0
    assert "open again" in server.log.read_text()


def test_devices_without_a_unit_are_fault_and_say_why(tmp_path):
    cases = [
        ("lab/vontrel/unnamed", "VONTREL_NoUnit", "no SerialNumber property"),
        ("lab/vontrel/999", "VONTREL_ExchangeFailed", "Vontrel_Open (unit 999): not attached"),
    ]
    server = TangoServer(tmp_path, devices=(DEVICE, *(name for name, _, _ in cases)))
    try:
        for name, reason, words in cases:
            p = server.proxy(name)
            assert p.state() == tango.DevState.FAULT and words in p.status(), p.status()
            with pytest.raises(tango.DevFailed) as e:
                p.read_attribute("Frequency")
            assert e.value.args[0].reason == reason and words in e.value.args[0].desc
        server.proxy().write_attribute("Frequency", 2e9)  # the unit beside them works
    finally:
        assert server.stop() == 0
