# SPDX-License-Identifier: MIT
"""The mains switch through `vontrel serve`, as lab software sees it: OUTPut
OFF and ON on a unit the units file maps to an outlet (the unit switched
off, then back with its settings), a stock driver's shutdown(), and the
MAINS commands with the session lock. The bench's state is kept in a file,
so that `vontrel-sim show` sees the units' power from outside the server.
"""

import json
import os
import subprocess

import pytest

from conftest import Server, errors, tool


def _sim_tool():
    return os.path.join(os.path.dirname(os.path.dirname(tool())), "d2xx", "sim", "vontrel-sim")


def _units(tmp_path):
    path = tmp_path / "units.json"
    path.write_text(json.dumps({"units": {
        "4660": {"output_off": "mains", "power": {"switch": "MS0001", "outlet": 1, "boot_s": 30}},
        "12345": {"power": {"outlet": 2}}}}))
    return str(path)


def _power(state, serial):
    """What the simulator says of a unit's power, seen from another process."""
    out = subprocess.run([_sim_tool(), "show"], capture_output=True, text=True, timeout=30,
                         env=dict(os.environ, VONTREL_SIM_STATE=str(state)), check=True).stdout
    line = next(line for line in out.splitlines() if f"serial {serial}," in line)
    return "off" if "switched off" in line else "booting" if "booting" in line else "on"


@pytest.fixture
def served(tmp_path):
    server = Server(tmp_path, args=("--units", _units(tmp_path), "serve", "--port", "0"),
                    state="file")
    yield server, server.state
    if server.process.poll() is None:
        assert server.stop() == 0


def test_outp_off_switches_the_unit_off_and_on_brings_it_back_as_it_was(served, rm):
    server, state = served
    gen = rm.open_resource(f"TCPIP::127.0.0.1::{server.ports[4660]}::SOCKET",
                           read_termination="\n", timeout=40000)
    gen.write("FREQ 2.455GHZ;:POW:ATT 7.5")
    assert gen.query("OUTP?") == "1"
    gen.write("OUTP OFF")
    assert gen.query("OUTP?") == "0"
    assert _power(state, 4660) == "off"
    assert _power(state, 12345) == "on"
    # Switched off, it is not reached: its commands say why.
    gen.write("FREQ 1GHZ")
    assert errors(gen) == [-240]

    gen.write("OUTP ON")  # waits for the unit to answer, then programs it
    assert gen.query("OUTP?") == "1"
    assert _power(state, 4660) == "on"
    assert float(gen.query("FREQ?")) == pytest.approx(2.455e9)
    assert float(gen.query("POW:ATT?")) == 7.5
    assert errors(gen) == []
    gen.close()
    log = server.log.read_text()
    assert "unit 4660: switched off at outlet 1 of mains switch MS0001" in log
    assert "its settings are back" in log


def test_a_stock_drivers_shutdown_switches_a_mapped_unit_off(served):
    from pymeasure.instruments.agilent import Agilent8257D
    server, state = served
    gen = Agilent8257D(f"TCPIP::127.0.0.1::{server.ports[4660]}::SOCKET", visa_library="@py",
                       read_termination="\n", write_termination="\n", timeout=20000)
    gen.frequency = 2.455e9
    gen.enable()
    assert gen.is_enabled is True
    gen.shutdown()
    assert gen.is_enabled is False
    assert _power(state, 4660) == "off"
    gen.enable()  # and back
    assert gen.is_enabled is True
    assert gen.frequency == pytest.approx(2.455e9)
    gen.adapter.connection.close()


def test_mains_commands_keep_the_session_lock(served, rm):
    server, state = served
    mine = rm.open_resource(f"TCPIP::127.0.0.1::{server.ports[4660]}::SOCKET",
                            read_termination="\n", timeout=40000)
    other = rm.open_resource(f"TCPIP::127.0.0.1::{server.ports[12345]}::SOCKET",
                             read_termination="\n", timeout=40000)
    assert mine.query('MAINS:SWIT?') == '"MS0001"'
    assert mine.query("MAINS:OUTL2:UNIT?") == "12345"
    assert mine.query("MAINS:OUTL3:UNIT?") == "-1"
    # Outlet 2 powers 12345, which another session has locked.
    assert other.query("SYST:LOCK:REQ?") == "1"
    mine.write("MAINS:OUTL2 OFF")
    assert errors(mine) == [-221]
    assert mine.query("MAINS:OUTL2?") == "1"
    assert _power(state, 12345) == "on"
    # The lock holder may; so may anyone once it lets go.
    other.write("MAINS:OUTL2 OFF")
    assert other.query("MAINS:OUTL2?") == "0"
    assert _power(state, 12345) == "off"
    other.write("SYST:LOCK:REL")
    assert other.query("*OPC?") == "1"  # the release is done before the next session asks
    mine.write("MAINS:OUTL2 ON")
    assert mine.query("MAINS:OUTL2?") == "1"
    assert other.query("*IDN?").split(",")[2] == "12345"  # back, and answering
    # An outlet that powers nothing served is switched as such.
    mine.write("MAINS:OUTL3 OFF")
    assert mine.query("MAINS:OUTL3?") == "0"
    mine.write("MAINS:OUTL9 ON")
    assert errors(mine) == [-114]
    assert errors(other) == []
    mine.close()
    other.close()


def test_the_web_never_shows_a_switched_off_units_output_on(tmp_path):
    """A unit switched off at its outlet cannot be read; the web's state of
    it says so, and says its output is off rather than keeping the on it
    last read (nor a lock it cannot read now)."""
    import urllib.request
    server = Server(tmp_path, args=("--units", _units(tmp_path), "serve", "--port", "0",
                                    "--http", "0"))
    try:
        def state():
            with urllib.request.urlopen(f"{server.url}/api/units/0", timeout=30) as reply:
                return json.loads(reply.read())

        assert state()["output"] is True
        assert server.scpi("OUTP OFF") == "1"
        off = state()
        assert off["open"] is False and "switched off" in off["error"]
        assert off["output"] is False
        assert off["locked"] is None
        assert server.scpi("OUTP ON") == "1"
        on = state()
        assert on["open"] is True and on["output"] is True and on["locked"] in (True, False)
    finally:
        assert server.stop() == 0
