# SPDX-License-Identifier: MIT
"""Names and messages of the converter status codes.

The C header include/vontrel_status.h holds the same table; the test suite
checks that the two agree entry for entry.
"""

from typing import Dict, Optional, Tuple

# code: (name, message)
STATUS_TABLE: Dict[int, Tuple[str, str]] = {
    0: ("FT_OK", "success"),
    1: ("FT_INVALID_HANDLE", "the handle is not an open unit"),
    2: ("FT_DEVICE_NOT_FOUND", "the device was not found"),
    3: ("FT_DEVICE_NOT_OPENED", "the device could not be opened"),
    4: ("FT_IO_ERROR", "input/output error on the link to the unit"),
    5: ("FT_INSUFFICIENT_RESOURCES", "insufficient resources"),
    6: ("FT_INVALID_PARAMETER", "invalid parameter"),
    7: ("FT_INVALID_BAUD_RATE", "invalid baud rate"),
    8: ("FT_DEVICE_NOT_OPENED_FOR_ERASE", "device not opened for erase"),
    9: ("FT_DEVICE_NOT_OPENED_FOR_WRITE", "device not opened for write"),
    10: ("FT_FAILED_TO_WRITE_DEVICE", "failed to write to the device"),
    11: ("FT_EEPROM_READ_FAILED", "converter EEPROM read failed"),
    12: ("FT_EEPROM_WRITE_FAILED", "converter EEPROM write failed"),
    13: ("FT_EEPROM_ERASE_FAILED", "converter EEPROM erase failed"),
    14: ("FT_EEPROM_NOT_PRESENT", "converter EEPROM not present"),
    15: ("FT_EEPROM_NOT_PROGRAMMED", "converter EEPROM not programmed"),
    16: ("FT_INVALID_ARGS", "invalid arguments"),
    17: ("FT_NOT_SUPPORTED", "operation not supported"),
    18: ("FT_OTHER_ERROR", "other error"),
    19: ("FT_DEVICE_LIST_NOT_READY", "device list not ready"),
}

FT_OK = 0
FT_INVALID_HANDLE = 1
FT_DEVICE_NOT_FOUND = 2
FT_DEVICE_NOT_OPENED = 3
FT_IO_ERROR = 4
FT_INVALID_PARAMETER = 6
FT_OTHER_ERROR = 18


def status_name(code: int) -> str:
    """The status's name, such as "FT_IO_ERROR", or "FT_UNKNOWN_STATUS"."""
    return STATUS_TABLE.get(code, ("FT_UNKNOWN_STATUS", ""))[0]


def status_message(code: int) -> str:
    """A short description of the status in plain words."""
    return STATUS_TABLE.get(code, ("", "unknown status code"))[1]


class VontrelError(Exception):
    """A call into libvontrel failed.

    Attributes:
        status:   the converter status code (0 when the call reported its
                  failure only through its result)
        name:     the status's name, such as "FT_IO_ERROR"
        function: the export that failed, such as "Vontrel_ReadStatus"
        result:   the export's int result, when it has one
    """

    def __init__(self, status: int, function: str, detail: Optional[str] = None,
                 result: Optional[int] = None) -> None:
        self.status = int(status)
        self.name = status_name(self.status)
        self.function = function
        self.result = result
        self.detail = detail
        super().__init__(self._text())

    def _text(self) -> str:
        text = (f"{self.function} failed: {self.name} ({self.status}): "
                f"{status_message(self.status)}")
        if self.result is not None:
            text += f" [result {self.result}]"
        if self.detail:
            text += f"; {self.detail}"
        if self.status == FT_OTHER_ERROR:
            from . import _library  # noqa: PLC0415 - only for this rare status
            problem = _library.simulator_problem()
            if problem:
                text += f"; the simulated bench cannot be used: {problem}"
        return text


class UnitNotFoundError(VontrelError):
    """No attached unit matched the request.

    Vontrel_Open itself succeeded, so status is FT_OK: the unit asked for is
    not among those it found and opened, which the message names."""

    def __init__(self, detail: str) -> None:
        super().__init__(FT_OK, "Vontrel_Open", detail)

    def _text(self) -> str:
        return f"no unit found: {self.detail}"
