# SPDX-License-Identifier: MIT
"""The two layouts of the status vector, and the typed values built on them.

Vontrel_ReadStatus fills 14 doubles (the read-back layout); Vontrel_WriteStatus
reads 12 (the write-out layout). Entries 0 to 2 agree, read-back entries 4 to
12 are write-out entries 3 to 11, and read-back entries 3 (levelMax) and 13
(levelMin) have no write-out counterpart. FIELDS below is the only place in
the package that knows the indices.
"""

import dataclasses
import enum
import math
import numbers
from typing import Any, Callable, List, Optional, Sequence, Tuple

from . import _limits

READBACK_ENTRIES = 14
WRITEOUT_ENTRIES = 12


class Mode(enum.IntEnum):
    """Mode entry. In LEVEL (3) the unit's attenuation follows the requested
    level and its calibration table; in the others it is set directly."""

    MODE_0 = 0
    MODE_1 = 1
    MODE_2 = 2
    LEVEL = 3


class Switch(enum.IntEnum):
    """Switch entry: one of five switch patterns. A read-back pattern that is
    none of them is reported as None."""

    SWITCH_0 = 0
    SWITCH_1 = 1
    SWITCH_2 = 2
    SWITCH_3 = 3
    SWITCH_4 = 4


UNKNOWN_SWITCH = -1.0


def _flag(v: float) -> bool:
    return v != 0.0


def _mode(v: float) -> Mode:
    if v not in (0.0, 1.0, 2.0, 3.0):
        raise ValueError(f"mode entry {v!r} is not 0, 1, 2 or 3")
    return Mode(int(v))


def _switch(v: float) -> Optional[Switch]:
    if v == UNKNOWN_SWITCH:
        return None
    if v not in (0.0, 1.0, 2.0, 3.0, 4.0):
        raise ValueError(f"switch entry {v!r} is not -1 or 0 to 4")
    return Switch(int(v))


def _encode_switch(s: Optional[int]) -> float:
    return UNKNOWN_SWITCH if s is None else float(Switch(s))


def _encode_flag(b: bool) -> float:
    return 1.0 if b else 0.0


def _encode_auto_trim(b: bool) -> float:
    # The value the read-back reports; any nonzero value selects the tables.
    return 2.0 if b else 0.0


# (field, C name, read-back index, write-out index or None, decode, encode)
Field = Tuple[str, str, int, Optional[int], Callable[[float], Any],
              Optional[Callable[[Any], float]]]
FIELDS: Tuple[Field, ...] = (
    ("trim_a", "trimA", 0, 0, int, float),
    ("trim_b", "trimB", 1, 1, int, float),
    ("frequency", "freqMHz", 2, 2, float, float),
    ("level_max", "levelMax", 3, None, float, None),
    ("level", "level", 4, 3, float, float),
    ("attenuation", "attenuation", 5, 4, float, float),
    ("mode", "mode", 6, 5, _mode, float),
    ("stored_setting", "storedSetting", 7, 6, int, float),
    ("flag_a", "flagA", 8, 7, _flag, _encode_flag),
    ("auto_trim", "autoTrim", 9, 8, _flag, _encode_auto_trim),
    ("switch", "switchCode", 10, 9, _switch, _encode_switch),
    ("flag_b", "flagB", 11, 10, _flag, _encode_flag),
    ("flag_c", "flagC", 12, 11, _flag, _encode_flag),
    ("level_min", "levelMin", 13, None, float, None),
)

SETTING_FIELDS: Tuple[str, ...] = tuple(f[0] for f in FIELDS if f[3] is not None)


def readback_to_writeout(values: Sequence[float]) -> List[float]:
    """The write-out vector (12 doubles) that programs what `values`, a
    read-back vector of 14 doubles, reports."""
    if len(values) < READBACK_ENTRIES:
        raise ValueError(f"a read-back vector has {READBACK_ENTRIES} entries, got {len(values)}")
    out = [0.0] * WRITEOUT_ENTRIES
    for _, _, r, w, _, _ in FIELDS:
        if w is not None:
            out[w] = float(values[r])
    return out


@dataclasses.dataclass(frozen=True)
class Settings:
    """What Vontrel_WriteStatus programs: the write-out layout, typed.

    frequency in MHz; level and attenuation in level units (0.25 per
    attenuation step); level is used in Mode.LEVEL, attenuation in the other
    modes. With auto_trim the unit takes trim_a and trim_b from its
    calibration tables at the new frequency; trim_a and trim_b are stored all
    the same.
    """

    trim_a: int
    trim_b: int
    frequency: float
    level: float
    attenuation: float
    mode: Mode
    stored_setting: int
    flag_a: bool
    auto_trim: bool
    switch: Optional[Switch]
    flag_b: bool
    flag_c: bool

    def to_writeout(self) -> List[float]:
        """The 12-entry write-out vector."""
        out = [0.0] * WRITEOUT_ENTRIES
        for name, _, _, w, _, encode in FIELDS:
            if w is not None and encode is not None:
                out[w] = encode(getattr(self, name))
        return out

    def replace(self, **changes: Any) -> "Settings":
        """A copy with the named fields changed (unchecked: Unit.apply checks)."""
        return dataclasses.replace(self, **changes)


@dataclasses.dataclass(frozen=True)
class Status:
    """What Vontrel_ReadStatus reports: the read-back layout, typed.

    frequency is the decoded output frequency in MHz (not clamped). level is
    the output level now; level_max and level_min are the levels at the
    unit's calibrated highest level and at the largest attenuation, at this
    frequency. auto_trim is True when the trims equal the calibration tables.
    switch is None when the switch pattern is none of the five known ones.
    """

    trim_a: int
    trim_b: int
    frequency: float
    level_max: float
    level: float
    attenuation: float
    mode: Mode
    stored_setting: int
    flag_a: bool
    auto_trim: bool
    switch: Optional[Switch]
    flag_b: bool
    flag_c: bool
    level_min: float

    @classmethod
    def from_readback(cls, values: Sequence[float]) -> "Status":
        """The status a read-back vector of 14 doubles reports."""
        if len(values) < READBACK_ENTRIES:
            raise ValueError(f"a read-back vector has {READBACK_ENTRIES} entries, got {len(values)}")
        return cls(**{name: decode(values[r]) for name, _, r, _, decode, _ in FIELDS})

    def settings(self) -> Settings:
        """The settings that program the unit to what this status reports."""
        return Settings(**{name: getattr(self, name) for name in SETTING_FIELDS})

    @property
    def level_range(self) -> Tuple[float, float]:
        """(lowest, highest) level the unit takes at this frequency: its
        calibrated range, level_min to level_max."""
        return (self.level_min, self.level_max)


def check_setting(name: str, value: object) -> Any:
    """Validates one value passed to Unit.apply and returns it typed; raises
    ValueError for anything a unit does not take, an unknown name included."""
    if name == "frequency":
        return _limits.check_frequency(value)
    if name == "level":
        number = _limits.number(value, name)
        if not (_limits.LEVEL_MIN <= number <= _limits.LEVEL_MAX and _limits.on_step(number)):
            raise ValueError(f"level {number} is not a level a unit takes: {_limits.LEVEL_MIN} "
                             f"to {_limits.LEVEL_MAX} in steps of {_limits.LEVEL_STEP}")
        return number
    if name == "attenuation":
        number = _limits.number(value, name)
        if not (0.0 <= number <= _limits.ATTEN_MAX and _limits.on_step(number)):
            raise ValueError(f"attenuation {number} is not one the unit takes: 0 to "
                             f"{_limits.ATTEN_MAX} in steps of {_limits.LEVEL_STEP}")
        return number
    if name in ("trim_a", "trim_b", "stored_setting"):
        number = _limits.number(value, name)
        if number != math.floor(number) or not 0 <= number <= _limits.BYTE_MAX:
            raise ValueError(f"{name} {value!r} is not a whole number from 0 to "
                             f"{_limits.BYTE_MAX}")
        return int(number)
    if name in ("mode", "switch"):
        kind: Any = Mode if name == "mode" else Switch
        top = _limits.MODE_MAX if name == "mode" else _limits.SWITCH_MAX
        if (isinstance(value, bool) or not isinstance(value, numbers.Integral)
                or not 0 <= int(value) <= top):
            raise ValueError(f"{name} must be one of {', '.join(str(m) for m in kind)}, "
                             f"not {value!r}")
        return kind(int(value))
    if name in ("flag_a", "flag_b", "flag_c", "auto_trim"):
        if not isinstance(value, (bool, int)) or value not in (0, 1):
            raise ValueError(f"{name} must be True or False, got {value!r}")
        return bool(value)
    raise ValueError(f"unknown setting {name!r}; settings are: {', '.join(SETTING_FIELDS)}")
