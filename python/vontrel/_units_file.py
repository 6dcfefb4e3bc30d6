# SPDX-License-Identifier: MIT
"""The units file: what a lab says about each unit that the unit cannot hold
itself (a level calibration, what "output off" does, the mains outlet that
powers it). Read by the same rules as the tool, `vontrel serve` and
`vontrel-tango` (service/units_file.h); docs/units-file.md describes it."""

from __future__ import annotations

import json
import math
import os
import stat
from dataclasses import dataclass, field
from typing import Any, Dict, Optional

from ._limits import LEVEL_STEP

UNITS_FILE_VARIABLE = "VONTREL_UNITS"
MAINS_OUTLETS = 8
MAX_LEVEL_OFFSET_DB = 100.0
DEFAULT_BOOT_S = 30.0
MAX_BOOT_S = 600.0
OUTPUT_OFF_CHOICES = ("refuse", "mute", "mains")
_MAX_FILE_BYTES = 1 << 20


@dataclass(frozen=True)
class PowerOutlet:
    """A mains switch outlet that powers a unit."""

    switch_serial: str  # "" when there is one switch
    outlet: int  # 1 to MAINS_OUTLETS
    boot_s: float = DEFAULT_BOOT_S  # how long the unit may take to answer after power-up


@dataclass(frozen=True)
class UnitConfig:
    level_offset_db: Optional[float] = None
    output_off: Optional[str] = None  # one of OUTPUT_OFF_CHOICES, as written
    power: Optional[PowerOutlet] = None

    @property
    def effective_output_off(self) -> str:
        """What "output off" does to the unit: output_off as written; without
        it, "mains" when the entry names the unit's outlet, else "mute" (as
        service/output_state.h)."""
        if self.output_off is not None:
            return self.output_off
        return "mains" if self.power is not None else "mute"

    def dbm(self, level: float) -> float:
        """A level (level units) in dBm: level + level_offset_db, to the
        nano-dB. ValueError without a level calibration."""
        offset = self._offset()
        dbm = level + offset
        return _round_half_away(dbm * 1e9) / 1e9 if abs(dbm) < 1e6 else dbm

    def level_of_dbm(self, dbm: float) -> float:
        """The level nearest `dbm` that the attenuator makes (a multiple of
        0.25, a half step away from zero). ValueError without a level
        calibration."""
        return _round_half_away((dbm - self._offset()) / LEVEL_STEP) * LEVEL_STEP

    def _offset(self) -> float:
        if self.level_offset_db is None:
            raise ValueError("the unit has no level calibration, so its level is in its own "
                             "level units, not dBm; measure its offset against a power meter "
                             "and give it as level_offset_db in the units file "
                             "(docs/units-file.md)")
        return self.level_offset_db


def _round_half_away(x: float) -> float:
    """Rounds to a whole number, a half away from zero, as C++ std::round."""
    whole = math.floor(abs(x))
    return math.copysign(whole + 1 if abs(x) - whole >= 0.5 else whole, x)


@dataclass(frozen=True)
class UnitsFile:
    path: str = ""
    units: Dict[int, UnitConfig] = field(default_factory=dict)

    def for_unit(self, serial: int) -> UnitConfig:
        """The unit's entry; an empty one for a unit the file does not name."""
        return self.units.get(serial, UnitConfig())


def _refuse(name: str, place: str, why: str) -> ValueError:
    return ValueError(f"{name}: {place}: {why}")


def _only_keys(obj: Any, keys: tuple[str, ...], name: str, place: str) -> Dict[str, Any]:
    if not isinstance(obj, dict):
        raise _refuse(name, place or "the file", "not an object")
    for key in obj:
        if key not in keys:
            raise _refuse(name, f"{place}.{key}" if place else key,
                          "not a key of the units file")
    return obj


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _serial_of(key: str, name: str) -> int:
    if not key.isdigit() or not key.isascii() or (len(key) > 1 and key[0] == "0") \
            or int(key) > 65535:
        raise _refuse(name, f"units.{key}", "a unit is named by its serial number, 0 to 65535")
    return int(key)


def _parse_unit(entry: Any, name: str, place: str) -> UnitConfig:
    entry = _only_keys(entry, ("level_offset_db", "output_off", "power"), name, place)
    offset = None
    if "level_offset_db" in entry:
        v = entry["level_offset_db"]
        if not _is_number(v) or not math.isfinite(v) or abs(v) > MAX_LEVEL_OFFSET_DB:
            raise _refuse(name, f"{place}.level_offset_db",
                          f"a number of dB, -{MAX_LEVEL_OFFSET_DB:g} to {MAX_LEVEL_OFFSET_DB:g}")
        offset = float(v)
    output_off = None
    if "output_off" in entry:
        v = entry["output_off"]
        if v not in OUTPUT_OFF_CHOICES:
            raise _refuse(name, f"{place}.output_off", 'one of "refuse", "mute", "mains"')
        output_off = v
    power = None
    if "power" in entry:
        where = f"{place}.power"
        p = _only_keys(entry["power"], ("switch", "outlet", "boot_s"), name, where)
        switch = ""
        if "switch" in p:
            if not isinstance(p["switch"], str) or not p["switch"]:
                raise _refuse(name, f"{where}.switch", "the serial number of the switch, a string")
            switch = p["switch"]
        outlet = p.get("outlet")
        if not isinstance(outlet, int) or isinstance(outlet, bool) \
                or not 1 <= outlet <= MAINS_OUTLETS:
            raise _refuse(name, f"{where}.outlet", f"an outlet, 1 to {MAINS_OUTLETS}")
        boot_s = DEFAULT_BOOT_S
        if "boot_s" in p:
            v = p["boot_s"]
            if not _is_number(v) or not 0.0 <= v <= MAX_BOOT_S:
                raise _refuse(name, f"{where}.boot_s", f"a time in seconds, 0 to {MAX_BOOT_S:g}")
            boot_s = float(v)
        power = PowerOutlet(switch, outlet, boot_s)
    if output_off == "mains" and power is None:
        raise _refuse(name, f"{place}.output_off", '"mains" needs the unit\'s "power" outlet')
    return UnitConfig(offset, output_off, power)


def _no_constant(token: str) -> Any:
    raise ValueError(f"{token} is not JSON")


def _finite(token: str) -> float:
    value = float(token)
    if not math.isfinite(value):
        raise ValueError(f"number overflow parsing {token!r}")
    return value


def parse_units_file(text: str, name: str) -> UnitsFile:
    """Parses the file's text; `name` is the file for messages. Raises
    ValueError naming the file and the place for anything it cannot take."""
    try:
        doc = json.loads(text, parse_constant=_no_constant, parse_float=_finite)
    except ValueError as e:
        raise _refuse(name, "the file", f"not JSON ({e})") from None
    doc = _only_keys(doc, ("units",), name, "")
    units: Dict[int, UnitConfig] = {}
    if "units" in doc:
        if not isinstance(doc["units"], dict):
            raise _refuse(name, "units", "an object of units by serial number")
        for key, entry in doc["units"].items():
            units[_serial_of(key, name)] = _parse_unit(entry, name, f"units.{key}")
    return UnitsFile(name, units)


def load_units_file(path: str) -> UnitsFile:
    """Reads and checks `path` (OSError when it cannot be read, ValueError
    when it is not a regular file: a FIFO nobody writes would never end)."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ValueError(f"{path}: not a regular file")
    with os.fdopen(fd, "rb") as f:
        data = f.read(_MAX_FILE_BYTES + 1)
    if len(data) > _MAX_FILE_BYTES:
        raise ValueError(f"{path}: larger than {_MAX_FILE_BYTES} bytes")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise _refuse(path, "the file", "not UTF-8") from None
    return parse_units_file(text, path)


def default_units_file_path() -> str:
    """$VONTREL_UNITS, else $XDG_CONFIG_HOME/vontrel/units.json
    (~/.config/...), else /etc/vontrel/units.json; "" when none is set or
    exists."""
    named = os.environ.get(UNITS_FILE_VARIABLE, "")
    if named:
        return named
    config = os.environ.get("XDG_CONFIG_HOME", "")
    if not config and os.environ.get("HOME"):
        config = os.environ["HOME"] + "/.config"
    if config and os.path.exists(config + "/vontrel/units.json"):
        return config + "/vontrel/units.json"
    if os.path.exists("/etc/vontrel/units.json"):
        return "/etc/vontrel/units.json"
    return ""


def load_configured_units_file(path: str = "") -> UnitsFile:
    """`path`, or the default file; no file at all gives an empty UnitsFile."""
    chosen = path or default_units_file_path()
    return load_units_file(chosen) if chosen else UnitsFile()
