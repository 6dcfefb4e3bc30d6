# SPDX-License-Identifier: MIT
"""The mains switch (libvontrel-mains) through ctypes.

    import vontrel
    with vontrel.open_mains_switch() as switch:      # the one attached
        switch.set(3, False)                         # outlet 3 off
        print(switch.outlets())                      # (True, True, False, ...)

    # The outlet the units file says powers unit 4660:
    outlet = vontrel.outlet_of(4660)
    with vontrel.open_mains_switch(serial=outlet.switch_serial or None) as switch:
        switch.set(outlet.outlet, True)

The library is loaded on first use from $VONTREL_MAINS_LIBRARY, then from the
folder libvontrel was loaded from, next to this package, and the dynamic
loader's search path. Errors raise VontrelError with the D2XX status, as
the rest of the package does.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from typing import Callable, List, NamedTuple, Optional, Tuple

from ._status import FT_INVALID_HANDLE, FT_INVALID_PARAMETER, VontrelError
from ._units_file import MAINS_OUTLETS, PowerOutlet, load_configured_units_file

MAINS_ENV_VAR = "VONTREL_MAINS_LIBRARY"
MAINS_SONAME = "libvontrel-mains.so.0"
DEFAULT_DESCRIPTION = "Mains Switch"  # VONTREL_MAINS_DEFAULT_DESCRIPTION
DESCRIPTION_VARIABLE = "VONTREL_MAINS_DESCRIPTION"
_TEXT_SIZE = 64  # VONTREL_MAINS_TEXT_SIZE


class _Switch(ctypes.Structure):
    _fields_ = [("index", ctypes.c_int),
                ("description", ctypes.c_char * _TEXT_SIZE),
                ("serial", ctypes.c_char * _TEXT_SIZE)]


_ulong_p = ctypes.POINTER(ctypes.c_ulong)
_int_p = ctypes.POINTER(ctypes.c_int)

PROTOTYPES = {
    "VontrelMains_List": (ctypes.c_int, [_ulong_p, ctypes.c_char_p, ctypes.POINTER(_Switch),
                                         ctypes.c_int, _int_p]),
    "VontrelMains_Open": (ctypes.c_int, [_ulong_p, ctypes.c_char_p, ctypes.c_char_p, _int_p]),
    "VontrelMains_Close": (ctypes.c_int, [ctypes.c_int]),
    "VontrelMains_SetOutlet": (ctypes.c_int, [_ulong_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]),
    "VontrelMains_GetOutlet": (ctypes.c_int, [_ulong_p, ctypes.c_int, ctypes.c_int, _int_p]),
    "VontrelMains_GetOutlets": (ctypes.c_int, [_ulong_p, ctypes.c_int,
                                               ctypes.POINTER(ctypes.c_ubyte)]),
}


def _candidates() -> List[str]:
    found: List[str] = []
    env = os.environ.get(MAINS_ENV_VAR)
    if env:
        return [os.path.join(env, MAINS_SONAME) if os.path.isdir(env) else env]
    try:
        from ._library import library_path  # noqa: PLC0415 - libvontrel's folder, when loaded
        folder = os.path.dirname(os.path.abspath(library_path()))
        found += [os.path.join(folder, name) for name in ("libvontrel-mains.so", MAINS_SONAME)]
        found.append(os.path.join(folder, "mains", "libvontrel-mains.so"))  # a build tree
    except OSError:
        pass
    here = os.path.dirname(os.path.abspath(__file__))
    found += [os.path.join(here, name) for name in ("libvontrel-mains.so", MAINS_SONAME)]
    found.append(MAINS_SONAME)
    by_name = ctypes.util.find_library("vontrel-mains")
    if by_name:
        found.append(by_name)
    return found


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def mains_library() -> ctypes.CDLL:
    """libvontrel-mains, loaded on first use with every function declared."""
    global _loaded
    with _lock:
        if _loaded is None:
            tried = []
            for path in _candidates():
                if os.path.isabs(path) and not os.path.exists(path):
                    tried.append(f"  {path}: no such file")
                    continue
                try:
                    lib = ctypes.CDLL(path)
                except OSError as e:
                    tried.append(f"  {path}: {e}")
                    continue
                for name, (restype, argtypes) in PROTOTYPES.items():
                    fn = getattr(lib, name)
                    fn.restype, fn.argtypes = restype, argtypes
                _loaded = lib
                break
            else:
                raise OSError("cannot load libvontrel-mains; tried:\n" + "\n".join(tried)
                              + f"\nInstall it, or set {MAINS_ENV_VAR} to its path.")
        return _loaded


def mains_description(description: Optional[str] = None) -> str:
    """The description switches are found by: `description`, else
    $VONTREL_MAINS_DESCRIPTION, else "Mains Switch"."""
    return description or os.environ.get(DESCRIPTION_VARIABLE) or DEFAULT_DESCRIPTION


def _text(value: str, what: str) -> bytes:
    data = value.encode("utf-8")
    if not data or len(data) >= _TEXT_SIZE or b"\0" in data:
        raise ValueError(f"{what} {value!r}: 1 to {_TEXT_SIZE - 1} bytes, no NUL")
    return data


def _outlet(outlet: int) -> int:
    if isinstance(outlet, bool) or not isinstance(outlet, int) \
            or not 1 <= outlet <= MAINS_OUTLETS:
        raise ValueError(f"outlet {outlet!r} is not 1 to {MAINS_OUTLETS}")
    return outlet


class MainsSwitchInfo(NamedTuple):
    # Its converter's enumeration index (a field's name where tuple has a
    # method of that name, which the class leaves unreachable on purpose).
    index: int  # type: ignore[assignment]
    description: str
    serial: str


def list_mains_switches(description: Optional[str] = None) -> List[MainsSwitchInfo]:
    """The switches attached whose description begins with `description`
    (see mains_description), in enumeration order."""
    lib = mains_library()
    wanted = _text(mains_description(description), "description")
    capacity = 8
    while True:
        status = ctypes.c_ulong(0)
        found = ctypes.c_int(0)
        entries = (_Switch * capacity)()
        result = lib.VontrelMains_List(ctypes.byref(status), wanted, entries, capacity,
                                       ctypes.byref(found))
        if result != 0 or status.value != 0:
            raise VontrelError(status.value, "VontrelMains_List", None, result)
        if found.value <= capacity:
            return [MainsSwitchInfo(e.index, e.description.decode("utf-8", "replace"),
                                    e.serial.decode("utf-8", "replace"))
                    for e in entries[:found.value]]
        capacity = found.value


class MainsSwitch:
    """An open mains switch; closes when closed, left or collected. The
    library runs the calls on one switch one after another, so it may be
    shared between threads."""

    def __init__(self, handle: int, serial: str) -> None:
        self._handle = handle
        self.serial = serial
        self._close_lock = threading.Lock()

    def __enter__(self) -> "MainsSwitch":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing to report to at collection
            pass

    @property
    def is_open(self) -> bool:
        return self._handle != 0

    def close(self) -> None:
        """Closes the switch; its outlets stay as they are."""
        with self._close_lock:
            handle, self._handle = self._handle, 0
        if handle:
            result = mains_library().VontrelMains_Close(handle)
            if result != 0:
                raise VontrelError(result, "VontrelMains_Close", f"switch {self.serial}")

    def _call(self, name: str, *args: object) -> None:
        if not self._handle:
            raise VontrelError(FT_INVALID_HANDLE, name, f"switch {self.serial} is closed")
        status = ctypes.c_ulong(0)
        fn: Callable[..., int] = getattr(mains_library(), name)
        result = fn(ctypes.byref(status), self._handle, *args)
        if result != 0 or status.value != 0:
            raise VontrelError(status.value, name, f"switch {self.serial}", result)

    def set(self, outlet: int, on: bool) -> None:
        """Switches `outlet` (1 to 8) on or off."""
        self._call("VontrelMains_SetOutlet", _outlet(outlet), 1 if on else 0)

    def get(self, outlet: int) -> bool:
        """Whether `outlet` (1 to 8) is on."""
        on = ctypes.c_int(0)
        self._call("VontrelMains_GetOutlet", _outlet(outlet), ctypes.byref(on))
        return on.value != 0

    def outlets(self) -> Tuple[bool, ...]:
        """All eight outlets, outlet 1 first."""
        lines = ctypes.c_ubyte(0)
        self._call("VontrelMains_GetOutlets", ctypes.byref(lines))
        return tuple(bool(lines.value >> n & 1) for n in range(MAINS_OUTLETS))


def open_mains_switch(description: Optional[str] = None,
                      serial: Optional[str] = None) -> MainsSwitch:
    """Opens the first switch whose description begins with `description`
    (see mains_description) and, when `serial` is given, whose serial it
    is. Its outlets stay as they were. Raises VontrelError:
    FT_DEVICE_NOT_FOUND when there is none, FT_DEVICE_NOT_OPENED when
    another program has it."""
    wanted = _text(mains_description(description), "description")
    serial_bytes = _text(serial, "serial") if serial else None
    status = ctypes.c_ulong(0)
    handle = ctypes.c_int(0)
    result = mains_library().VontrelMains_Open(ctypes.byref(status), wanted, serial_bytes,
                                               ctypes.byref(handle))
    if result != 0 or status.value != 0:
        raise VontrelError(status.value or FT_INVALID_PARAMETER, "VontrelMains_Open",
                           f"serial {serial}" if serial else None, result)
    if serial is None:
        found = [s.serial for s in list_mains_switches(description)]
        serial = found[0] if found else ""
    return MainsSwitch(handle.value, serial)


def outlet_of(unit_serial: int, units_file: str = "") -> PowerOutlet:
    """The outlet the units file (see load_configured_units_file) says
    powers unit `unit_serial`; ValueError when it names none."""
    units = load_configured_units_file(units_file)
    power = units.for_unit(unit_serial).power
    if power is None:
        raise ValueError(f"unit {unit_serial} has no mains outlet in the units file "
                         f"{units.path or '(none was found)'}")
    return power
