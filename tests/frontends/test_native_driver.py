# SPDX-License-Identifier: MIT
"""The package's own PyMeasure driver (vontrel.pymeasure) as a lab runs it:
a PyMeasure Procedure, run by PyMeasure's Worker, that sweeps the unit and
shuts it down, over a raw socket and over VXI-11 (INSTR: only inside
tests/frontends/in_netns.sh), against `vontrel serve` on the simulated
bench.
"""

import csv
import os
import sys

import pytest

from conftest import ROOT
from test_stock_drivers import OFFSET_DB, Bench, address, resource  # noqa: F401 (a fixture)

sys.path.insert(0, os.path.join(ROOT, "python"))

from pymeasure.experiment import FloatParameter, IntegerParameter, Procedure, Results  # noqa: E402
from pymeasure.experiment.workers import Worker  # noqa: E402

from vontrel.pymeasure import ServerError, VontrelSynthesizer  # noqa: E402


class LockSweep(Procedure):
    """Steps the frequency at a fixed level and records lock at each point."""

    resource = None  # set by the test
    start = FloatParameter("Start", units="Hz", minimum=300e6, maximum=5e9, default=1e9)
    stop = FloatParameter("Stop", units="Hz", minimum=300e6, maximum=5e9, default=2e9)
    points = IntegerParameter("Points", default=5)
    power = FloatParameter("Power", units="dBm", default=0.0)

    DATA_COLUMNS = ["Frequency (Hz)", "Power (dBm)", "Locked"]

    def startup(self):
        self.gen = VontrelSynthesizer(self.resource, visa_library="@py")
        assert self.gen.power_unit == "DBM"
        self.gen.power = self.power
        self.gen.enable()

    def execute(self):
        # The server's own sweep, then the points one by one, as labs step.
        for frequency in self.gen.sweep(self.start, self.stop, self.points, dwell=0.001):
            self.gen.frequency = frequency
            self.emit("results", {"Frequency (Hz)": self.gen.frequency,
                                  "Power (dBm)": self.gen.power,
                                  "Locked": self.gen.wait_for_lock(timeout=5)})

    def shutdown(self):
        self.gen.shutdown()
        self.gen.adapter.connection.close()


def test_a_procedure_sweeps_and_shuts_down(tmp_path, resource):  # noqa: F811
    bench = Bench(tmp_path, {"4660": {"level_offset_db": OFFSET_DB}})
    server = bench.serve(resource)
    try:
        procedure = LockSweep()
        procedure.resource = address(server, resource)
        data = tmp_path / "sweep.csv"
        worker = Worker(Results(procedure, str(data)))
        worker.start()
        worker.join(timeout=120)
        assert procedure.status == Procedure.FINISHED
        with open(data) as f:
            rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
        assert [float(r["Frequency (Hz)"]) for r in rows] == [1e9, 1.25e9, 1.5e9, 1.75e9, 2e9]
        assert all(float(r["Power (dBm)"]) == 0.0 and r["Locked"] == "True" for r in rows)

        # Refusals raise with the server's words, writes and queries alike.
        gen = VontrelSynthesizer(address(server, resource), visa_library="@py")
        with pytest.raises(ServerError, match=r"-222, Data out of range; POW: 200 dBm"):
            gen.power = 200
        gen.adapter.connection.timeout = 500  # a failed query answers nothing
        with pytest.raises(ServerError, match=r"-224, .*POW\?: MAXIMAL"):
            gen.ask("POW? MAXIMAL")
        assert gen.output is False  # as the procedure left it
        gen.adapter.connection.close()
    finally:
        assert server.stop() == 0
    status = bench.status()
    assert (status["frequency_mhz"], status["attenuation"], status["mode"]) == (2000.0, 31.75, 1)

    # Without a level calibration, power (dBm) is refused both ways; level
    # is in level units.
    bench = Bench(tmp_path, {})
    server = bench.serve(resource)
    try:
        gen = VontrelSynthesizer(address(server, resource), visa_library="@py")
        assert gen.power_unit == "LEV"
        for use in (lambda: gen.power, lambda: setattr(gen, "power", 1.0)):
            with pytest.raises(ServerError, match="unit 4660 has no level calibration"):
                use()
        gen.level = 1.0
        assert gen.level == 1.0
        gen.adapter.connection.close()
    finally:
        assert server.stop() == 0
