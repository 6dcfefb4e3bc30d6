# SPDX-License-Identifier: MIT
"""The RF signal generators of Debian's PyMeasure, unchanged, against
`vontrel serve` on the simulated bench: the three classes with frequency,
power and output, over a raw socket and over VXI-11 (INSTR, which needs
rpcbind: only inside tests/frontends/in_netns.sh). Each step is checked
against what the unit holds, as `vontrel --json status` reads it once the
server has stopped.
"""

import json
import os
import subprocess

import pytest

from conftest import Server, tool

pymeasure = pytest.importorskip("pymeasure")
from pymeasure.instruments.agilent import Agilent8257D  # noqa: E402
from pymeasure.instruments.anapico import APSIN12G  # noqa: E402
from pymeasure.instruments.anritsu import AnritsuMG3692C  # noqa: E402

OFFSET_DB = -3.25  # the unit's level calibration in the units file
RESOURCES = ["socket", "instr"]


class Bench:
    """A simulated bench kept in a file, so that it outlives each server."""

    def __init__(self, tmp_path, units):
        self.tmp_path = tmp_path
        self.units = tmp_path / "units.json"
        self.units.write_text(json.dumps({"units": units}))
        self.env = dict(os.environ, VONTREL_SIM_STATE=str(tmp_path / "bench.json"),
                        XDG_CONFIG_HOME=str(tmp_path))
        self.env.pop("VONTREL_SIM_CONFIG", None)
        self.env.pop("VONTREL_UNITS", None)

    def tool(self, *args):
        out = subprocess.run([tool(), "--units", str(self.units), "--unit", "serial:4660",
                              *args], capture_output=True, text=True, env=self.env, timeout=60)
        assert out.returncode == 0, out
        return out.stdout

    def status(self):
        return json.loads(self.tool("--json", "status"))

    def serve(self, resource):
        args = ["--units", str(self.units), "--unit", "serial:4660", "serve", "--port", "0"]
        if resource == "instr":
            args += ["--vxi11", "on"]
        return Server(self.tmp_path, args=tuple(args), state=self.env["VONTREL_SIM_STATE"],
                      XDG_CONFIG_HOME=self.env["XDG_CONFIG_HOME"])


def address(server, resource):
    if resource == "instr":
        return "TCPIP::127.0.0.1::inst0::INSTR"
    return f"TCPIP::127.0.0.1::{server.port}::SOCKET"


def run(bench, resource, cls, steps):
    """Opens `cls` on a fresh server, runs steps(driver), checks that no
    error was queued, stops the server and returns the unit's status."""
    server = bench.serve(resource)
    try:
        driver = cls(address(server, resource), visa_library="@py", read_termination="\n",
                     write_termination="\n", timeout=10000)
        steps(driver)
        assert driver.ask("SYST:ERR:ALL?").strip() == '0,"No error"'
        driver.adapter.connection.close()
    finally:
        assert server.stop() == 0
    return bench.status()


def output_on(driver):
    """What the driver reads of the output, or OUTP? where it has no getter."""
    if isinstance(driver, Agilent8257D):
        return driver.is_enabled
    if isinstance(driver, AnritsuMG3692C):
        return driver.output
    return driver.ask("OUTP?").strip() == "1"


def turn(driver, on):
    if isinstance(driver, APSIN12G):
        (driver.enable_rf if on else driver.disable_rf)()
    else:
        (driver.enable if on else driver.disable)()


@pytest.fixture(params=RESOURCES)
def resource(request):
    if request.param == "instr" and os.environ.get("VONTREL_NETNS_RPCBIND") != "1":
        pytest.skip("INSTR needs the network namespace and rpcbind of tests/frontends/in_netns.sh")
    return request.param


@pytest.mark.parametrize("cls", [Agilent8257D, AnritsuMG3692C, APSIN12G])
def test_stock_driver_basics(tmp_path, resource, cls):
    bench = Bench(tmp_path, {"4660": {"level_offset_db": OFFSET_DB}})
    bench.tool("preset")
    preset = bench.status()

    # Identity, frequency and power in dBm; off, then on again.
    def basics(driver):
        maker, _, serial, _ = driver.id.split(",")
        assert (maker, serial) == ("Vontrel", "4660")
        driver.frequency = 2.455e9
        driver.power = 6.5
        assert (driver.frequency, driver.power) == (2.455e9, 6.5)
        assert driver.ask("UNIT:POW?").strip() == "DBM"
        turn(driver, False)
        assert output_on(driver) is False
        assert driver.power == 6.5  # the level output on brings back
        turn(driver, True)
        assert output_on(driver) is True

    status = run(bench, resource, cls, basics)
    assert (status["frequency_mhz"], status["mode"]) == (2455.0, 3)
    assert (status["level_dbm"], status["level"]) == (6.5, 6.5 - OFFSET_DB)

    # Off: the attenuator at its highest, out of mode 3.
    status = run(bench, resource, cls, lambda driver: turn(driver, False))
    assert (status["attenuation"], status["mode"], status["frequency_mhz"]) == (31.75, 1, 2455.0)

    # Reset: the unit's preset, which is on.
    def reset(driver):
        driver.reset()
        assert output_on(driver) is True

    status = run(bench, resource, cls, reset)
    assert status == preset

    # Shutdown: off, where the driver says it turns the output off.
    def shutdown(driver):
        driver.frequency = 2.455e9
        driver.power = 6.5
        driver.shutdown()
        assert output_on(driver) is (cls is APSIN12G)  # whose shutdown leaves it on

    status = run(bench, resource, cls, shutdown)
    assert status["frequency_mhz"] == 2455.0
    if cls is APSIN12G:
        assert (status["mode"], status["level_dbm"]) == (3, 6.5)
    else:
        assert (status["attenuation"], status["mode"]) == (31.75, 1)


@pytest.mark.parametrize("cls", [Agilent8257D, AnritsuMG3692C, APSIN12G])
def test_without_a_level_calibration_dbm_is_refused(tmp_path, resource, cls):
    bench = Bench(tmp_path, {})
    server = bench.serve(resource)
    try:
        driver = cls(address(server, resource), visa_library="@py", read_termination="\n",
                     write_termination="\n", timeout=10000)
        level = driver.power
        driver.power = 6.5
        assert driver.power == level
        assert driver.ask("UNIT:POW?").strip() == "LEV"
        code, text = driver.ask("SYST:ERR?").strip().split(",", 1)
        assert code == "-138"
        assert "unit 4660 has no level calibration" in text
        assert "level_offset_db of unit 4660 in the units file" in text
        driver.adapter.connection.close()
    finally:
        assert server.stop() == 0
