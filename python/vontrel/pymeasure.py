# SPDX-License-Identifier: MIT
"""A PyMeasure driver for a Vontrel unit served by `vontrel serve`, over a
raw socket (TCPIP::host::port::SOCKET) or VXI-11 (TCPIP::host::inst0::INSTR):

    from vontrel.pymeasure import VontrelSynthesizer

    gen = VontrelSynthesizer("TCPIP::127.0.0.1::inst0::INSTR")
    gen.frequency = 2.455e9         # Hz
    gen.power = 6.5                 # dBm, by the unit's level calibration
    gen.enable()
    points = gen.sweep(1e9, 2e9, 11, dwell=0.01)
    gen.shutdown()                  # sweep stopped, output off

Every write is followed by a look at the server's error queue: a command
the server refused raises ServerError with the server's own words, and a
query the server could not answer raises it instead of a bare time-out.
`power` is in dBm and needs the unit's level calibration (in the units
file the server reads); `level` is in what UNIT:POW? says (power_unit):
"DBM" with a calibration, else "LEV", the unit's own level units. Needs
PyMeasure (Debian: python3-pymeasure) and pyvisa.
"""

from __future__ import annotations

import re
import time
from typing import Any, List, Optional, Sequence, Tuple

from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_range

from ._limits import ATTEN_MAX, DWELL_MAX_S, FREQ_MAX_MHZ, FREQ_MIN_MHZ, SWEEP_POINTS_MAX

# An entry of SYST:ERR:ALL?: -222,"Data out of range; ..." (quotes doubled).
_ERROR = re.compile(r'(-?\d+),"((?:[^"]|"")*)"')

# How long *OPC? may wait beyond the sweep's own time, in milliseconds.
_SWEEP_MARGIN_MS = 10000

# STATus:OPERation bit 3: a sweep runs.
_OPER_SWEEPING = 8


class ServerError(Exception):
    """Errors the server queued for a command: (number, text) pairs."""

    def __init__(self, command: str, errors: Sequence[Tuple[int, str]]) -> None:
        self.command = command
        self.errors = list(errors)
        shown = "; ".join(f"{code}, {text}" for code, text in self.errors)
        super().__init__(f"{command}: {shown}")


def _hz(value: float) -> str:
    return repr(float(value))


class VontrelSynthesizer(Instrument):
    """A Vontrel unit behind `vontrel serve`. `adapter` is a VISA resource
    name or a PyMeasure adapter; further keyword arguments go to the VISA
    adapter (visa_library="@py" for pyvisa-py). Lines end with LF."""

    def __init__(self, adapter: Any, name: str = "Vontrel synthesizer", **kwargs: Any) -> None:
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        kwargs.setdefault("timeout", 10000)
        super().__init__(adapter, name, includeSCPI=True, **kwargs)
        self.power_unit: str = self.ask("UNIT:POW?").strip()

    # The server's error queue, looked at after every write.

    def check_errors(self) -> List[Tuple[int, str]]:
        """Takes every error off the server's queue and returns them."""
        answer = self.adapter.ask("SYST:ERR:ALL?").strip()
        return [(int(code), text.replace('""', '"')) for code, text in _ERROR.findall(answer)
                if int(code) != 0]

    def write(self, command: str) -> None:
        """Sends `command`; ServerError when the server refused any of it."""
        self.adapter.write(command)
        errors = self.check_errors()
        if errors:
            raise ServerError(command, errors)

    def _query(self, command: str, ask: Any) -> Any:
        try:
            return ask()
        except Exception as e:  # a time-out: the server answers nothing for a failed query
            errors = self.check_errors()
            if errors:
                raise ServerError(command, errors) from e
            raise

    def ask(self, command: str) -> str:
        return str(self._query(command, lambda: self.adapter.ask(command)))

    def values(self, command: str, **kwargs: Any) -> List[Any]:
        return list(self._query(command, lambda: self.adapter.values(command, **kwargs)))

    # Frequency, level, attenuation, output.

    frequency = Instrument.control(
        "FREQ?", "FREQ %s",
        """The output frequency in Hz, 300 MHz to 5 GHz.""",
        validator=strict_range, values=[FREQ_MIN_MHZ * 1e6, FREQ_MAX_MHZ * 1e6],
        set_process=_hz)
    level = Instrument.control(
        "POW?", "POW %s",
        """The output level as the server takes it, in power_unit: dBm ("DBM")
        for a unit with a level calibration, else the unit's level units
        ("LEV", multiples of 0.25). Setting it runs the unit in mode 3, where
        the level sets the attenuation; the server refuses a level outside
        the calibrated range at the frequency.""",
        set_process=lambda v: repr(float(v)))

    @property
    def power(self) -> float:
        """The output level in dBm, for a unit with a level calibration (see
        level); ServerError without one, which names what to do."""
        if self.power_unit != "DBM":
            self.write("UNIT:POW DBM")  # refused, in the server's words
        return float(self.ask("POW?"))

    @power.setter
    def power(self, dbm: float) -> None:
        self.write(f"POW {float(dbm)!r} DBM")

    power_range = Instrument.measurement(
        "POW:RANG?", """The calibrated level range at the present frequency, [min, max],
        in power_unit.""")
    attenuation = Instrument.control(
        "POW:ATT?", "POW:ATT %s",
        """The attenuation in level units, 0 to 31.75 in steps of 0.25; setting it
        takes a unit in mode 3 to mode 1.""",
        validator=strict_range, values=[0.0, ATTEN_MAX], set_process=lambda v: repr(float(v)))
    mode = Instrument.control(
        "VONT:MODE?", "VONT:MODE %d", """The unit's mode, 0 to 3 (3: the level sets the
        attenuation).""",
        validator=strict_range, values=[0, 3], cast=int)

    @property
    def output(self) -> bool:
        """Whether the output is on. What off does is the unit's own (the
        units file's output_off; *OPT? says it): by default the attenuator at
        its highest, which is not an RF switch."""
        return self.ask("OUTP?").strip() == "1"

    @output.setter
    def output(self, on: bool) -> None:
        self.write("OUTP 1" if on else "OUTP 0")

    def enable(self) -> None:
        self.output = True

    def disable(self) -> None:
        self.output = False

    # Lock detect.

    @property
    def locked(self) -> bool:
        """Whether the synthesizer reports lock."""
        return self.ask("VONT:LOCK?").strip() == "1"

    def wait_for_lock(self, timeout: float = 1.0, interval: float = 0.01) -> bool:
        """Polls lock detect for up to `timeout` seconds; whether it locked."""
        deadline = time.monotonic() + timeout
        while not self.locked:
            if time.monotonic() >= deadline:
                return False
            time.sleep(interval)
        return True

    # Sweeps, timed by the server.

    @property
    def sweeping(self) -> bool:
        """Whether this connection's sweep runs."""
        return int(self.ask("STAT:OPER:COND?")) & _OPER_SWEEPING != 0

    def sweep(self, start: float, stop: float, points: int, dwell: float = 0.01,
              power: Optional[float] = None, wait: bool = True) -> List[float]:
        """Steps from `start` to `stop` Hz over `points` evenly spaced points
        (2 to 100000), `dwell` seconds on each, at `power` (power_unit) or the
        present level; waits for its end unless `wait` is false. Returns the
        frequencies programmed."""
        strict_range(points, [2, SWEEP_POINTS_MAX])
        strict_range(dwell, [0.0, DWELL_MAX_S])
        if power is not None:
            self.power = power
        self.write(f"FREQ:MODE SWE;:POW:MODE FIX;:FREQ:STAR {_hz(start)};STOP {_hz(stop)};"
                   f":SWE:POIN {int(points)};DWEL {dwell!r}")
        self.write("INIT")
        if wait:
            self.wait_for_sweep(points * dwell)
        return [start + (stop - start) * i / (points - 1) for i in range(points)]

    def list_sweep(self, frequencies: Sequence[float], powers: Sequence[float] = (),
                   dwell: float = 0.01, wait: bool = True) -> None:
        """Programs each frequency (Hz) in turn, with one level for all or one
        per point (power_unit; none: the level is left alone), `dwell`
        seconds each; waits for the end unless `wait` is false."""
        self.write("LIST:FREQ " + ",".join(_hz(f) for f in frequencies))
        if powers:
            self.write("LIST:POW " + ",".join(repr(float(p)) for p in powers))
        self.write(f"LIST:DWEL {dwell!r};:FREQ:MODE LIST;:POW:MODE FIX")
        self.write("INIT")
        if wait:
            self.wait_for_sweep(len(frequencies) * dwell)

    def wait_for_sweep(self, expected_s: float = 0.0) -> None:
        """Waits (*OPC?) for this connection's sweep to end, `expected_s`
        seconds and a margin at most; a point the unit could not take raises
        ServerError."""
        connection = self.adapter.connection
        timeout = connection.timeout
        connection.timeout = max(timeout or 0, expected_s * 1000 * 2 + _SWEEP_MARGIN_MS)
        try:
            self.ask("*OPC?")
        finally:
            connection.timeout = timeout
        errors = self.check_errors()
        if errors:
            raise ServerError("INIT", errors)

    def abort_sweep(self) -> None:
        """Stops this connection's sweep after the point it is programming."""
        self.write("INIT:CONT OFF;:ABOR")

    def shutdown(self) -> None:
        """Stops the sweep and turns the output off (ServerError when the unit
        refuses that: its output_off is refuse)."""
        self.abort_sweep()
        self.disable()
        super().shutdown()
