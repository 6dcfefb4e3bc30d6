# SPDX-License-Identifier: MIT
"""Why a converter that looks like a unit did not open, for each such
converter, by the same rule as the tool and the server
(service/unit_causes.cpp): Vontrel_Open says only which converters it
opened; every other one whose description begins with "V" is opened alone
through the D2XX library libvontrel loaded, and closed again at once, and
the system is asked who holds it (/proc/*/fd, for a tty or the simulator's
lock file)."""

import ctypes
import os
from dataclasses import dataclass
from typing import AbstractSet, List, Optional, Sequence, Tuple

from . import _library

FT_OK = 0
FT_DEVICE_NOT_FOUND = 2
FT_DEVICE_NOT_OPENED = 3
FT_LIST_NUMBER_ONLY = 0x80000000
FT_LIST_BY_INDEX = 0x40000000
FT_OPEN_BY_DESCRIPTION = 2

HELD, NOT_ANSWERING, NOT_SERIAL_PORT, GONE, OTHER = (
    "held", "not_answering", "not_serial_port", "gone", "other")


@dataclass(frozen=True)
class Unopened:
    """A converter that looked like a unit and did not open, and why."""
    index: int
    description: str
    cause: str
    holder: str = ""   # "pid 1234, vontrel", "this program", or ""
    detail: str = ""   # what the D2XX library said of it

    @property
    def why(self) -> str:
        if self.cause == HELD:
            if self.holder == "this program":
                return "open in this program already"
            return "in use by another program" + (f" ({self.holder})" if self.holder else "")
        return {NOT_ANSWERING: "not answering", NOT_SERIAL_PORT: "not a serial port",
                GONE: "gone (unplugged?)"}.get(
                    self.cause, "could not be opened" + (f": {self.detail}" if self.detail else ""))

    def __str__(self) -> str:
        return f"index {self.index} ({self.description or '?'}): {self.why}"


def _d2xx() -> Optional[ctypes.CDLL]:
    """The D2XX library libvontrel loaded (the one in this process), or None."""
    for path in _library.loaded_d2xx_paths():
        try:
            return ctypes.CDLL(path)
        except OSError:
            continue
    return None


def _text(lib: ctypes.CDLL, name: str) -> str:
    fn = getattr(lib, name, None)
    if fn is None:
        return ""
    fn.restype = ctypes.c_char_p
    fn.argtypes = []
    value = fn()
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else ""


def _holder(path: str) -> str:
    try:
        wanted = os.stat(path)
    except OSError:
        return ""
    device = (wanted.st_mode & 0o170000) == 0o020000
    found, here = "", False
    for pid in filter(str.isdigit, os.listdir("/proc")):
        fds = f"/proc/{pid}/fd"
        try:
            names = os.listdir(fds)
        except OSError:
            continue
        for fd in names:
            try:
                st = os.stat(f"{fds}/{fd}")
            except OSError:
                continue
            same = (st.st_rdev == wanted.st_rdev if device
                    else (st.st_dev, st.st_ino) == (wanted.st_dev, wanted.st_ino))
            if same:
                if int(pid) == os.getpid():
                    here = True
                elif not found:
                    try:
                        with open(f"/proc/{pid}/comm", encoding="utf-8") as comm:
                            found = f"pid {pid}, {comm.read().strip()}"
                    except OSError:
                        found = f"pid {pid}"
                break
    return found or ("this program" if here else "")


def _says(message: str, names: Tuple[str, ...]) -> bool:
    return any(f"({name}:" in message for name in names)


def _probe(lib: ctypes.CDLL, index: int) -> Optional[Unopened]:
    description = ctypes.create_string_buffer(64)
    lib.FT_ListDevices.restype = ctypes.c_ulong
    if lib.FT_ListDevices(ctypes.c_void_p(index), description,
                          ctypes.c_ulong(FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION)) != FT_OK:
        return Unopened(index, "", GONE)
    text = description.value.decode("utf-8", "replace")
    if not text.startswith("V"):
        return None
    handle = ctypes.c_void_p()
    lib.FT_Open.restype = ctypes.c_ulong
    opened = lib.FT_Open(ctypes.c_int(index), ctypes.byref(handle))
    message = _text(lib, "vontrel_serial_last_error")
    if opened == FT_OK:
        lib.FT_Close(handle)
        return Unopened(index, text, NOT_ANSWERING)
    detail = message or f"status {opened}"
    if _says(message, ("ENOTTY", "EISDIR")):
        return Unopened(index, text, NOT_SERIAL_PORT, "", detail)
    if _says(message, ("ENOENT", "ENODEV", "ENXIO", "EIO", "EPIPE")) or (
            not message and opened == FT_DEVICE_NOT_FOUND):
        return Unopened(index, text, GONE, "", detail)
    if opened == FT_DEVICE_NOT_OPENED and not _says(message, ("EACCES", "EPERM")):
        if message.startswith("/"):
            held = message.split(": ", 1)[0]
        else:
            state = _text(lib, "vsim_state_path")
            held = f"{state}.conv{index}.lock" if state else ""
        return Unopened(index, text, HELD, _holder(held) if held else "", detail)
    return Unopened(index, text, OTHER, "", detail)


def unopened(opened_indices: AbstractSet[int], max_converters: int) -> List[Unopened]:
    """Why each converter that looked like a unit and is not among
    `opened_indices` did not open."""
    lib = _d2xx()
    if lib is None:
        return []
    count = ctypes.c_ulong(0)
    lib.FT_ListDevices.restype = ctypes.c_ulong
    if lib.FT_ListDevices(ctypes.byref(count), None, ctypes.c_ulong(FT_LIST_NUMBER_ONLY)) != FT_OK:
        return []
    found: List[Unopened] = []
    for index in range(min(count.value, max_converters)):
        if index in opened_indices:
            continue
        u = _probe(lib, index)
        if u is not None:
            found.append(u)
    return found


def text(causes: Sequence[Unopened]) -> str:
    """One line for each converter, indented, for messages."""
    return "".join(f"\n  {u}" for u in causes)


