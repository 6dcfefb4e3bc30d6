# SPDX-License-Identifier: MIT
"""Finding libvontrel.so and declaring its eight exports for ctypes."""

import ctypes
import ctypes.util
import os
import threading
from typing import Any, Dict, List, Optional, Sequence, Tuple

ENV_VAR = "VONTREL_LIBRARY"
SONAME = "libvontrel.so.0"

_c_ulong_p = ctypes.POINTER(ctypes.c_ulong)
_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_double_p = ctypes.POINTER(ctypes.c_double)
_c_char_p = ctypes.POINTER(ctypes.c_char)

# name: (restype, argtypes)
PROTOTYPES: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "Vontrel_Open": (ctypes.c_int, [_c_ulong_p, _c_int_p, _c_int_p, _c_int_p]),
    "Vontrel_Close": (ctypes.c_int, [ctypes.c_void_p]),
    "Vontrel_ReadInfo": (
        ctypes.c_int,
        [_c_ulong_p, ctypes.c_void_p, _c_int_p, _c_char_p, _c_char_p, _c_char_p, _c_char_p],
    ),
    "Vontrel_ReadLD": (ctypes.c_int, [_c_ulong_p, ctypes.c_void_p, _c_int_p]),
    "Vontrel_Preset": (None, [_c_ulong_p, ctypes.c_void_p]),
    "Vontrel_SaveUserPreset": (None, [_c_ulong_p, ctypes.c_void_p]),
    "Vontrel_ReadStatus": (ctypes.c_int, [_c_ulong_p, ctypes.c_void_p, _c_double_p]),
    "Vontrel_WriteStatus": (None, [_c_ulong_p, ctypes.c_void_p, _c_double_p]),
}


class LibraryNotFoundError(OSError):
    """libvontrel.so could not be loaded; the message lists every place tried."""


def candidates() -> List[Tuple[str, str]]:
    """The places to look for the library, in order, as (how, path) pairs.

    1. $VONTREL_LIBRARY: the library file itself, or a folder holding it.
       An explicit choice wins over everything else.
    2. Next to the package: a copy installed alongside the Python files.
    3. The dynamic loader's usual search (LD_LIBRARY_PATH, ld.so.cache).
    """
    found: List[Tuple[str, str]] = []
    env = os.environ.get(ENV_VAR)
    if env:
        if os.path.isdir(env):
            found += [(f"${ENV_VAR}", os.path.join(env, name))
                      for name in ("libvontrel.so", SONAME)]
        else:
            found.append((f"${ENV_VAR}", env))
    here = os.path.dirname(os.path.abspath(__file__))
    found += [("next to the package", os.path.join(here, name))
              for name in ("libvontrel.so", SONAME)]
    found.append(("the loader's search path", SONAME))
    by_name = ctypes.util.find_library("vontrel")
    if by_name and by_name != SONAME:
        found.append(("the loader's search path", by_name))
    return found


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = list(argtypes)
    return lib


def load() -> Tuple[str, ctypes.CDLL]:
    """Loads the library from the first candidate that loads."""
    tried: List[str] = []
    for how, path in candidates():
        if os.path.isabs(path) and not os.path.exists(path):
            tried.append(f"  {path} ({how}): no such file")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            tried.append(f"  {path} ({how}): {e}")
            if how.startswith("$"):
                break  # an explicit choice that fails is not silently replaced
            continue
        try:
            return path, _declare(lib)
        except AttributeError as e:
            tried.append(f"  {path} ({how}): not libvontrel ({e})")
            if how.startswith("$"):
                break
    raise LibraryNotFoundError(
        "cannot load libvontrel; tried:\n" + "\n".join(tried)
        + f"\nInstall the library, or set {ENV_VAR} to the path of libvontrel.so.")


_lock = threading.Lock()
_loaded: Optional[Tuple[str, ctypes.CDLL]] = None


def _load_once() -> Tuple[str, ctypes.CDLL]:
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load()
        return _loaded


def library() -> ctypes.CDLL:
    """The loaded library (loaded on first use), with every export declared."""
    return _load_once()[1]


def library_path() -> str:
    """The path the library was loaded from."""
    return _load_once()[0]


def loaded_d2xx_paths() -> List[str]:
    """The D2XX libraries loaded in this process (the one libvontrel took
    its calls from), by absolute path, in order."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            paths = {line.split(None, 5)[-1].strip() for line in maps if "libftd2xx" in line}
    except OSError:
        return []
    return sorted(p for p in paths if os.path.isabs(p))


def simulator_problem() -> Optional[str]:
    """Why the simulated bench is out of order (a bench description or
    setting it cannot use, a state file it cannot keep), when the simulator
    is the D2XX library that libvontrel loaded; else None."""
    for path in loaded_d2xx_paths():
        try:
            bench_error = ctypes.CDLL(path).vsim_bench_error  # the one already loaded
        except (OSError, AttributeError):
            continue  # a real D2XX library has no such call
        bench_error.restype = ctypes.c_int
        bench_error.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        text = ctypes.create_string_buffer(2048)
        if bench_error(text, len(text)) != 0:
            return text.value.decode("utf-8", "replace")
    return None
