# SPDX-License-Identifier: MIT
"""The package's tables against the C headers they mirror."""

import os
import re

import pytest

import vontrel
from vontrel import _library

INCLUDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "include")


def _read(name):
    with open(os.path.join(INCLUDE, name), encoding="utf-8") as f:
        return f.read()


def test_status_table_is_the_c_table():
    entries = re.findall(r'X\((\d+),\s*(\w+),\s*"([^"]*)"\)', _read("vontrel_status.h"))
    assert len(entries) >= 20
    assert {int(c): (n, m) for c, n, m in entries} == vontrel.STATUS_TABLE


def test_status_vector_indices_are_the_c_names():
    header = _read("vontrel.h")
    read = dict(re.findall(r"VONTREL_READ_(\w+) = (\d+)", header))
    write = dict(re.findall(r"VONTREL_WRITE_(\w+) = (\d+)", header))
    c = {name: (int(read[name]), int(write[name]) if name in write else None) for name in read}
    ours = {c_name: (r, w) for _, c_name, r, w, _, _ in vontrel.FIELDS}
    assert ours == c
    assert set(write) <= set(read)
    counts = dict(re.findall(r"^#define VONTREL_(\w+)_STATUS_ENTRIES (\d+)$", header,
                             re.MULTILINE))
    assert (len(read), len(write)) == (int(counts["READ"]), int(counts["WRITE"])) == \
        (vontrel.READBACK_ENTRIES, vontrel.WRITEOUT_ENTRIES)


def test_every_export_is_declared_as_in_the_header():
    protos = re.findall(r"VONTREL_API\s+(int|void)\s+(Vontrel_\w+)\(([^)]*)\)", _read("vontrel.h"))
    assert {name for _, name, _ in protos} == set(_library.PROTOTYPES)
    for ret, name, params in protos:
        restype, argtypes = _library.PROTOTYPES[name]
        assert (restype is None) == (ret == "void"), name
        assert len(argtypes) == len(params.split(",")), name


@pytest.mark.parametrize("code, text", [
    (4, "Vontrel_ReadStatus failed: FT_IO_ERROR (4): input/output error on the link"),
    (1, "FT_INVALID_HANDLE (1)"),
    (4242, "FT_UNKNOWN_STATUS (4242): unknown status code"),
])
def test_error_names_the_status(code, text):
    e = vontrel.VontrelError(code, "Vontrel_ReadStatus")
    assert text in str(e)
    assert e.status == code and e.name == vontrel.status_name(code)


def test_limits_are_the_c_limits():
    from vontrel import _limits
    defines = re.findall(r"^#define VONTREL_(\w+) \(?(-?[\d.]+)\)?$", _read("vontrel_limits.h"),
                         re.MULTILINE)
    assert len(defines) >= 10
    assert {name: float(v) for name, v in defines} == {
        name: float(getattr(_limits, name)) for name, _ in defines}


def test_open_arrays_are_the_c_maximum():
    from vontrel import _unit
    (maximum,) = re.findall(r"^#define VONTREL_MAX_CONVERTERS (\d+)$", _read("vontrel.h"),
                            re.MULTILINE)
    assert _unit.MAX_CONVERTERS == int(maximum)
