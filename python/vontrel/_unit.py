# SPDX-License-Identifier: MIT
"""Units: opening, reading, programming and closing them."""

import ctypes
import dataclasses
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Dict, Iterator, List, Optional, Tuple, Type

from . import _causes as _causes_mod
from . import _library, _limits
from ._layout import READBACK_ENTRIES, WRITEOUT_ENTRIES, Mode, Settings, Status, check_setting
from ._units_file import UnitConfig, load_configured_units_file
from ._status import (FT_DEVICE_NOT_OPENED, FT_INVALID_HANDLE, FT_OK, UnitNotFoundError,
                      VontrelError)

# Vontrel_Open walks at most VONTREL_MAX_CONVERTERS converters (vontrel.h)
# and writes at each one's enumeration index, so arrays of this size are
# always enough. A test checks it against the header.
MAX_CONVERTERS = 1024


@dataclasses.dataclass(frozen=True)
class Info:
    """A unit's identity block."""

    serial: int
    firmware: str         # "2.5"
    hardware: str         # one letter, "C"
    calibration_date: str # "07/12/2011"
    if_band: str          # "60 MHz - 80 MHz"


@dataclasses.dataclass(frozen=True)
class SweepPoint:
    """One point of Unit.sweep: the frequency programmed (MHz) and whether
    the unit locked there."""

    frequency: float
    locked: bool


def _close_token(token: int) -> int:
    # Also used as the finaliser of a unit that was never closed.
    result: int = _library.library().Vontrel_Close(ctypes.c_void_p(token))
    return result


class Unit:
    """One open unit. Use it as a context manager, or call close().

    Calls on one Unit are serialised by a lock of its own (apply() reads and
    writes under it as one step), so a Unit may be shared between threads. Every failed call raises VontrelError.
    """

    def __init__(self, token: int, serial: int, index: int) -> None:
        self._token = token
        self.serial = serial
        self.index = index  # the converter's enumeration index at open time
        self._config: Optional[UnitConfig] = None  # its units-file entry, read at first use
        self._lock = threading.RLock()
        self._finalizer = weakref.finalize(self, _close_token, token)

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vontrel.Unit serial={self.serial} index={self.index} {state}>"

    def __enter__(self) -> "Unit":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        try:
            self.close()
        except VontrelError:
            if exc_type is None:
                raise  # do not hide the error that is already on its way out

    @property
    def closed(self) -> bool:
        """Whether the unit was closed (close(), the with block's end)."""
        return not self._finalizer.alive

    def close(self) -> None:
        """Closes the unit. The handle is released whatever the converter
        answers; a failed close raises after that. Closing twice is a no-op."""
        with self._lock:
            if not self._finalizer.alive:
                return
            result = self._finalizer()  # _close_token's result: it runs only once
        if result is not None and result != FT_OK:
            raise VontrelError(result, "Vontrel_Close", f"unit {self.serial}")

    def _call(self, name: str, *args: Any) -> Tuple[int, Optional[int]]:
        """Calls export `name` with (&status, handle, *args) and returns
        (status, result). Holds the unit's lock for the call."""
        status = ctypes.c_ulong(FT_OK)
        with self._lock:
            if not self._finalizer.alive:
                raise VontrelError(FT_INVALID_HANDLE, name, f"unit {self.serial} is closed")
            fn = getattr(_library.library(), name)
            result: Optional[int] = fn(ctypes.byref(status), ctypes.c_void_p(self._token), *args)
        return status.value, result

    def _check(self, name: str, *args: Any) -> Optional[int]:
        status, result = self._call(name, *args)
        if status != FT_OK or (result is not None and result != 0):
            raise VontrelError(status, name, f"unit {self.serial}", result)
        return result

    @property
    def info(self) -> Info:
        """Reads the identity block (ten exchanges)."""
        sn = ctypes.c_int(0)
        frev = ctypes.create_string_buffer(16)
        hrev = ctypes.create_string_buffer(1)  # one byte, never terminated
        cal = ctypes.create_string_buffer(32)
        band = ctypes.create_string_buffer(32)
        self._check("Vontrel_ReadInfo", ctypes.byref(sn), frev, hrev, cal, band)
        return Info(sn.value, frev.value.decode("latin-1"), hrev.raw.decode("latin-1"),
                    cal.value.decode("latin-1"), band.value.decode("latin-1"))

    def _read_status(self) -> List[float]:
        values = (ctypes.c_double * READBACK_ENTRIES)()
        self._check("Vontrel_ReadStatus", values)
        return list(values)

    @property
    def status(self) -> Status:
        """Reads the synthesizer state back (thirteen exchanges)."""
        return Status.from_readback(self._read_status())

    def write(self, settings: Settings) -> None:
        """Programs the unit with a complete Settings, as they are."""
        values = (ctypes.c_double * WRITEOUT_ENTRIES)(*settings.to_writeout())
        self._check("Vontrel_WriteStatus", values)

    def apply(self, **changes: Any) -> Settings:
        """Reads the unit's state, changes the named settings and programs it.

        Settings: frequency (MHz, 300 to 5000), level (Mode.LEVEL only),
        level_dbm (instead of level: dBm by the unit's level calibration,
        taken to the nearest level step), attenuation (0 to 31.75, not in
        Mode.LEVEL), mode, switch, flag_a, flag_b, flag_c, auto_trim,
        trim_a, trim_b, stored_setting. Values are checked before anything
        is sent; a level that the calibration at a new frequency cannot
        reach is found on read-back, the previous settings restored and
        ValueError raised. Returns the Settings written.
        """
        if "level_dbm" in changes:
            if "level" in changes:
                raise ValueError("give level or level_dbm, not both")
            dbm = _limits.number(changes.pop("level_dbm"), "level_dbm")
            changes["level"] = self.config.level_of_dbm(dbm)
        checked = {name: check_setting(name, value) for name, value in changes.items()}
        with self._lock:  # read, change and write as one step
            return self._apply(checked)

    def _apply(self, checked: Dict[str, Any]) -> Settings:
        current = self.status
        if "frequency" not in checked:
            # Every setting is written again, the frequency read back included.
            try:
                check_setting("frequency", current.frequency)
            except ValueError as e:
                raise ValueError(f"the unit reads back a frequency it does not take ({e}); "
                                 f"pass frequency= with the change") from None
        mode = checked.get("mode", current.mode)
        if "level" in checked and mode != Mode.LEVEL:
            raise ValueError("level is used only in Mode.LEVEL; pass mode=Mode.LEVEL, "
                             "or set attenuation instead")
        if "attenuation" in checked and mode == Mode.LEVEL:
            raise ValueError("attenuation is not used in Mode.LEVEL; set level instead")
        settings = current.settings().replace(**checked)
        if mode == Mode.LEVEL and settings.frequency == current.frequency:
            # The level the unit is to run at, given or kept, lies within the
            # calibrated range here, as in C++ and the tool.
            low, high = current.level_range
            if not low <= settings.level <= high:
                raise ValueError(f"level {settings.level} is outside {low} to {high} "
                                 f"at {current.frequency} MHz")
        if mode == Mode.LEVEL and settings.frequency != current.frequency:
            # The calibration at the new frequency is only known once it is
            # programmed.
            self._write_level_checked(settings, current.settings())
        else:
            self.write(settings)
        return settings

    def _write_level_checked(self, settings: Settings, previous: Settings) -> None:
        """Writes settings in Mode.LEVEL and reads the calibrated range back.
        A level outside it at that frequency is undone: the previous settings
        are restored and ValueError raised."""
        with self._lock:
            self.write(settings)
            low, high = self.status.level_range
            if low <= settings.level <= high:
                return
            self.write(previous)
            raise ValueError(f"level {settings.level} is outside {low} to {high} at "
                             f"{settings.frequency} MHz; the previous settings are restored")

    @property
    def config(self) -> UnitConfig:
        """The unit's entry in the units file (docs/units-file.md): the one
        open(units=...) named, else the default one; an empty UnitConfig
        when the file names the unit not."""
        if self._config is None:
            self._config = load_configured_units_file().for_unit(self.serial)
        return self._config

    @property
    def level_dbm(self) -> float:
        """The output level in dBm (thirteen exchanges), by the unit's level
        calibration in the units file; ValueError without one."""
        return self.config.dbm(self.status.level)

    @property
    def level_range_dbm(self) -> Tuple[float, float]:
        """(lowest, highest) level in dBm the unit takes at its frequency;
        ValueError without a level calibration."""
        low, high = self.status.level_range
        return (self.config.dbm(low), self.config.dbm(high))

    @property
    def locked(self) -> bool:
        """Whether the synthesizer reports lock (one exchange)."""
        ld = ctypes.c_int(0)
        self._check("Vontrel_ReadLD", ctypes.byref(ld))
        return ld.value != 0

    def wait_lock(self, timeout: float = _limits.LOCK_TIMEOUT_DEFAULT_S,
                  poll_interval: float = _limits.LOCK_POLL_S) -> bool:
        """Polls lock detect every poll_interval seconds (default 0.01) until
        it reports lock or `timeout` seconds have passed (0 to 3600, default
        1); polls at least once. Returns whether the
        unit locked. A time that is not a finite number in range raises
        ValueError."""
        timeout = _limits.check_seconds(timeout, "timeout")
        poll_interval = _limits.check_seconds(poll_interval, "poll_interval")
        if poll_interval == 0.0:
            raise ValueError("poll_interval must be greater than 0")
        deadline = time.monotonic() + timeout
        while True:
            if self.locked:
                return True
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            time.sleep(min(poll_interval, remaining))

    def preset(self) -> None:
        """Sends the preset command: the unit restores its user preset, or
        its power-up settings when none was saved."""
        self._check("Vontrel_Preset")

    def save_user_preset(self) -> None:
        """Sends the save-user-preset command: the unit stores its current
        registers as the user preset."""
        self._check("Vontrel_SaveUserPreset")

    def sweep(self, start: float, stop: float, step: float, *, dwell: float = 0.0,
              lock_timeout: Optional[float] = _limits.LOCK_TIMEOUT_DEFAULT_S,
              **changes: Any) -> Iterator[SweepPoint]:
        """Steps the frequency from start to stop (either direction, stop
        included when the steps reach it) in steps of step MHz, greater than
        0, and yields a SweepPoint per step, after waiting up to lock_timeout
        seconds for lock (None: one look) and then dwell seconds. Further
        settings (level, mode, ...) are applied at the first point and kept.
        The points, their cap and the time limits are those of the tool's
        sweep; everything is checked before the first point (ValueError).
        Each point is taken as the C++ sweeps take theirs (program under the
        level policy, then wait for lock: service/sweep_point.cpp); this
        loop is the package's own because it reaches the library only
        through its eight exports."""
        frequencies = _limits.sweep_points(start, stop, step)
        dwell = _limits.check_seconds(dwell, "dwell", _limits.DWELL_MAX_S)
        if lock_timeout is not None:
            lock_timeout = _limits.check_seconds(lock_timeout, "lock_timeout")
        checked = {name: check_setting(name, value) for name, value in changes.items()}
        settings: Optional[Settings] = None
        for f in frequencies:
            if settings is None:
                settings = self.apply(frequency=f, **checked)
            else:
                previous, settings = settings, settings.replace(frequency=f)
                if settings.mode == Mode.LEVEL:
                    self._write_level_checked(settings, previous)
                else:
                    self.write(settings)
            locked = self.wait_lock(lock_timeout) if lock_timeout is not None else self.locked
            if dwell > 0:
                time.sleep(dwell)
            yield SweepPoint(f, locked)


def _discover() -> Tuple[List[Unit], int, int]:
    """Opens every unit that opens: (units, units found, status)."""
    lib = _library.library()
    status = ctypes.c_ulong(FT_OK)
    found = ctypes.c_int(0)
    handles = (ctypes.c_int * MAX_CONVERTERS)()  # 0 is never a token
    serials = (ctypes.c_int * MAX_CONVERTERS)()
    result = lib.Vontrel_Open(ctypes.byref(status), ctypes.byref(found), handles, serials)
    if result == -1 and status.value == FT_OK:
        return [], 0, FT_OK  # no converter attached
    if result != 0:
        raise VontrelError(status.value, "Vontrel_Open", None, result)
    units = [Unit(handles[i], serials[i], i) for i in range(MAX_CONVERTERS) if handles[i] != 0]
    return units, found.value, status.value


def _causes(units: List[Unit]) -> List[_causes_mod.Unopened]:
    """Why each converter that looked like a unit did not open."""
    return _causes_mod.unopened({u.index for u in units}, MAX_CONVERTERS)


def _walk() -> Tuple[List[Unit], int, int, List[_causes_mod.Unopened]]:
    """(units, found, status, causes); a converter that opened alone may only
    have been let go by its holder since the walk, so one more walk tells
    that from a unit that does not answer (as the tool and the server do)."""
    units, found, status = _discover()
    causes = [] if found == len(units) else _causes(units)
    if any(c.cause == _causes_mod.NOT_ANSWERING for c in causes):
        _close_all(units)
        units, found, status = _discover()
        causes = [] if found == len(units) else _causes(units)
    return units, found, status, causes


def open_all() -> List[Unit]:
    """Opens every attached unit and returns them in enumeration order.

    Returns [] when no converter is attached. Raises VontrelError when
    converters matched but none of them opened, saying for each why (held by
    another program, not answering, not a serial port, gone); units that did
    open are returned even if others failed."""
    units, found, status, causes = _walk()
    if found > 0 and not units:
        raise VontrelError(status or FT_DEVICE_NOT_OPENED, "Vontrel_Open",
                           f"{found} unit(s) found, none could be used:" + _causes_mod.text(causes))
    return units


def _close_all(units: List[Unit]) -> None:
    for unit in units:
        try:
            unit.close()
        except VontrelError:
            pass  # released all the same; another unit's trouble is not ours


def open(serial: Optional[int] = None, *,  # noqa: A001 - the library's verb
         wait: float = _limits.UNIT_WAIT_DEFAULT_S, units: Optional[str] = None) -> Unit:
    """Opens the unit with the given serial number, or the first unit found
    when serial is None. Every other unit is closed again. `units` names
    the units file its config (and levels in dBm) come from, instead of
    the default one (docs/units-file.md); it is read before anything else.

    A unit is open in one program at a time. While units are in use by
    another program (found, but not opened), tries again for up to `wait`
    seconds, as the tool's --wait-unit does, then raises VontrelError
    (FT_DEVICE_NOT_OPENED) saying so; UnitNotFoundError when no unit
    matches."""
    if serial is not None and (isinstance(serial, bool) or not isinstance(serial, int)
                               or not 0 <= serial <= 0xFFFF):
        raise ValueError(f"serial must be a whole number from 0 to 65535, not {serial!r}")
    wait = _limits.check_seconds(wait, "wait")
    file = load_configured_units_file(units) if units is not None else None
    deadline = time.monotonic() + wait
    while True:
        opened, found, status, causes = _walk()
        chosen = next((u for u in opened if serial is None or u.serial == serial), None)
        _close_all([u for u in opened if u is not chosen])
        if chosen is not None:
            if file is not None:
                chosen._config = file.for_unit(chosen.serial)
            return chosen
        held = [c for c in causes if c.cause == _causes_mod.HELD and c.holder != "this program"]
        if not causes:
            seen = ", ".join(str(u.serial) for u in opened) or "none"
            wanted = "any unit" if serial is None else f"unit {serial}"
            raise UnitNotFoundError(f"{wanted} not found (units opened: {seen})")
        remaining = deadline - time.monotonic()
        # A converter that opened alone after the walk may have been let go
        # by its holder meanwhile: waiting tells that from a silent unit.
        let_go = any(c.cause == _causes_mod.NOT_ANSWERING for c in causes)
        if not (held or let_go) or remaining <= 0:
            wanted = "the unit" if serial is None else f"unit {serial}"
            code = FT_DEVICE_NOT_OPENED if held else (status or FT_DEVICE_NOT_OPENED)
            waited = f"; waited {wait} s (open(..., wait=SECONDS))" if held else ""
            raise VontrelError(code, "Vontrel_Open",
                               f"{wanted} did not open; the converters that could not be used "
                               f"(it may be behind one):" + _causes_mod.text(causes) + waited)
        time.sleep(min(0.05, remaining))
