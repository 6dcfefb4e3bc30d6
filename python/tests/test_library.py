# SPDX-License-Identifier: MIT
"""Finding the library."""

import ctypes
import os
import subprocess
import sys

import pytest

import vontrel

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _load_in_child(env_value):
    env = dict(os.environ, VONTREL_LIBRARY=env_value, PYTHONPATH=PYTHON_DIR,
               PYTHONDONTWRITEBYTECODE="1")
    code = "import vontrel; print(vontrel.library_path())"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


def test_a_failed_load_says_what_it_tried(tmp_path):
    missing = str(tmp_path / "libvontrel.so")
    bogus = tmp_path / "bogus.so"
    bogus.write_text("not a library")
    for value, expected in [(missing, "no such file"), (str(bogus), "bogus.so")]:
        child = _load_in_child(value)
        assert child.returncode != 0
        assert "LibraryNotFoundError" in child.stderr and expected in child.stderr
        assert "VONTREL_LIBRARY" in child.stderr


def test_the_variable_may_name_the_folder():
    folder = os.path.dirname(vontrel.library_path())
    child = _load_in_child(folder)
    assert child.returncode == 0, child.stderr
    assert os.path.dirname(child.stdout.strip()) == folder


@pytest.mark.parametrize("name, args", [
    ("Vontrel_Open", (1, 2, 3, 4)),
    ("Vontrel_ReadStatus", (ctypes.byref(ctypes.c_ulong()), 1, (ctypes.c_float * 14)())),
    ("Vontrel_WriteStatus", (ctypes.byref(ctypes.c_ulong()), 1, [0.0] * 12)),
])
def test_exports_refuse_wrong_argument_types(name, args):
    # Declared argument types: a mistake is caught before the call, not in C.
    with pytest.raises(ctypes.ArgumentError):
        getattr(vontrel.library(), name)(*args)
