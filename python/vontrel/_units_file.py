# SPDX-License-Identifier: MIT
"""The units file: what a lab says about each unit that the unit cannot hold
itself (a level calibration, what "output off" does, the mains outlet that
powers it). Read by the same rules as the tool, `vontrel serve` and
`vontrel-tango` (service/units_file.h); docs/units-file.md describes it."""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Optional

UNITS_FILE_VARIABLE = "VONTREL_UNITS"
MAINS_OUTLETS = 8
MAX_LEVEL_OFFSET_DB = 100.0
OUTPUT_OFF_CHOICES = ("refuse", "mute", "mains")
_MAX_FILE_BYTES = 1 << 20


@dataclass(frozen=True)
class PowerOutlet:
    """A mains switch outlet that powers a unit."""

    switch_serial: str  # "" when there is one switch
    outlet: int  # 1 to MAINS_OUTLETS


@dataclass(frozen=True)
class UnitConfig:
    level_offset_db: Optional[float] = None
    output_off: Optional[str] = None  # one of OUTPUT_OFF_CHOICES, as written
    power: Optional[PowerOutlet] = None


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
        p = _only_keys(entry["power"], ("switch", "outlet"), name, where)
        switch = ""
        if "switch" in p:
            if not isinstance(p["switch"], str) or not p["switch"]:
                raise _refuse(name, f"{where}.switch", "the serial number of the switch, a string")
            switch = p["switch"]
        outlet = p.get("outlet")
        if not isinstance(outlet, int) or isinstance(outlet, bool) \
                or not 1 <= outlet <= MAINS_OUTLETS:
            raise _refuse(name, f"{where}.outlet", f"an outlet, 1 to {MAINS_OUTLETS}")
        power = PowerOutlet(switch, outlet)
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
    """Reads and checks `path` (OSError when it cannot be read)."""
    with open(path, "rb") as f:
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
