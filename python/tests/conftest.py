# SPDX-License-Identifier: MIT
"""Test set-up: the library under test and the simulated bench behind it.

The library comes from $VONTREL_LIBRARY (CTest sets it to the build's
libvontrel.so); without it, the newest build*/libvontrel.so of the source
tree is used. The simulator is the libftd2xx.so that library loads; its
vsim_* control calls set up benches and inject faults.
"""

import ctypes
import glob
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))



def _plain_build(lib):
    # A sanitizer build cannot be loaded into an uninstrumented interpreter.
    cache = os.path.join(os.path.dirname(lib), "CMakeCache.txt")
    try:
        with open(cache, encoding="utf-8") as f:
            return "VONTREL_SANITIZE:STRING=\n" in f.read()
    except OSError:
        return False


if not os.environ.get("VONTREL_LIBRARY"):
    builds = sorted((lib for lib in glob.glob(os.path.join(ROOT, "build*", "libvontrel.so"))
                     if _plain_build(lib)), key=os.path.getmtime)
    if builds:
        os.environ["VONTREL_LIBRARY"] = builds[-1]

import vontrel  # noqa: E402

FT_OK, FT_IO_ERROR = 0, 4


class Sim:
    """The simulator's control calls, declared for ctypes."""

    def __init__(self, path):
        self.path = path
        lib = ctypes.CDLL(path)
        sig = {
            "vsim_clear": (None, []),
            "vsim_load_default_bench": (None, []),
            "vsim_add_converter": (ctypes.c_int, [ctypes.c_char_p]),
            "vsim_add_unit": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint16]),
            "vsim_unplug": (None, [ctypes.c_int]),
            "vsim_plug": (None, [ctypes.c_int]),
            "vsim_set_memory": (None, [ctypes.c_int, ctypes.c_uint16, ctypes.c_uint8]),
            "vsim_get_memory": (ctypes.c_uint8, [ctypes.c_int, ctypes.c_uint16]),
            "vsim_set_register": (None, [ctypes.c_int, ctypes.c_int, ctypes.c_uint32]),
            "vsim_get_register": (ctypes.c_uint32, [ctypes.c_int, ctypes.c_int]),
            "vsim_locked": (ctypes.c_int, [ctypes.c_int]),
            "vsim_open_handles": (ctypes.c_int, []),
            "vsim_fail_call": (None, [ctypes.c_char_p, ctypes.c_long, ctypes.c_ulong]),
            "vsim_clear_faults": (None, []),
            "vsim_call_count": (ctypes.c_long, []),
            "vsim_add_mains_switch": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
            "vsim_mains_power": (None, [ctypes.c_int, ctypes.c_int, ctypes.c_uint16]),
            "vsim_mains_lines": (ctypes.c_int, [ctypes.c_int]),
            "vsim_mains_set_lines": (None, [ctypes.c_int, ctypes.c_uint8]),
        }
        for name, (restype, argtypes) in sig.items():
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, argtypes
            setattr(self, name[len("vsim_"):], fn)

    def new_unit(self, serial, description=b"Vontrel Synthesizer"):
        return self.add_unit(description, serial)

    def registers(self, unit_id):
        return [self.get_register(unit_id, r) for r in range(8)]


def _sim_path():
    explicit = os.environ.get("VONTREL_SIM_LIBRARY")
    if explicit:
        return explicit
    lib = vontrel.library_path()
    return os.path.join(os.path.dirname(os.path.realpath(lib)), "d2xx", "sim", "libftd2xx.so")


@pytest.fixture(scope="session")
def sim():
    path = _sim_path()
    if not os.path.exists(path):
        pytest.skip(f"simulator not found at {path}")
    return Sim(path)


@pytest.fixture
def bench(sim):
    """An empty bench; every handle must be closed again by the end of the
    test."""
    sim.clear()
    yield sim
    sim.clear_faults()
    open_handles = sim.open_handles()
    sim.clear()
    assert open_handles == 0, "a test left units open"


@pytest.fixture
def unit(bench):
    """One open unit, serial 4660, converter id 0."""
    bench.new_unit(4660)
    with vontrel.open() as u:
        yield u
