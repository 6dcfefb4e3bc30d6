# SPDX-License-Identifier: MIT
"""The settings a unit takes, the level policy, and the time-outs and sweep
limits; the same table as the C header include/vontrel_limits.h (a test
checks that they agree).

A level is used only in Mode.LEVEL. It is taken when it is a multiple of
0.25 (LEVEL_STEP) within the calibrated range of the frequency it is programmed at,
Status.level_min to Status.level_max; at a new frequency that range is known
only once programmed there, so a level found outside it is undone again.

Every value must be a finite real number; anything else raises ValueError.
Times are in seconds."""

import math
import numbers
from typing import List

FREQ_MIN_MHZ = 300.0
FREQ_MAX_MHZ = 5000.0
LEVEL_STEP = 0.25
ATTEN_CODE_MAX = 127
ATTEN_MAX = 31.75
LEVEL_MIN = -31.75
LEVEL_MAX = 63.75
MODE_MAX = 3
MODE_LEVEL = 3
SWITCH_MAX = 4
BYTE_MAX = 255
LOCK_TIMEOUT_DEFAULT_S = 1.0
LOCK_POLL_S = 0.01
TIMEOUT_MAX_S = 3600.0
UNIT_WAIT_DEFAULT_S = 1.0
DWELL_MAX_S = 3600.0
SWEEP_POINTS_MAX = 100000


def on_step(value: float) -> bool:
    """Whether value is a whole number of LEVEL_STEP."""
    steps = value / LEVEL_STEP
    return steps == math.floor(steps)


def number(value: object, name: str) -> float:
    """value as a float when it is a finite real number (not a bool, not a
    text); ValueError otherwise."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, not {value!r}")
    try:
        result = float(value)
    except OverflowError:
        result = math.inf
    if not math.isfinite(result):
        raise ValueError(f"{name} {result} is not a finite number")
    return result


def check_seconds(value: object, name: str, maximum: float = TIMEOUT_MAX_S) -> float:
    """A time in seconds, 0 to maximum, as a float; ValueError otherwise."""
    seconds = number(value, name)
    if not 0.0 <= seconds <= maximum:
        raise ValueError(f"{name} {seconds} s is not a time from 0 to {maximum} seconds")
    return seconds


def check_frequency(value: object, name: str = "frequency") -> float:
    """A frequency in MHz within the unit's range, as a float."""
    mhz = number(value, name)
    if not FREQ_MIN_MHZ <= mhz <= FREQ_MAX_MHZ:
        raise ValueError(f"{name} {mhz} MHz is outside the unit's range, {FREQ_MIN_MHZ} to "
                         f"{FREQ_MAX_MHZ} MHz")
    return mhz


def sweep_points(start: float, stop: float, step: float) -> List[float]:
    """The frequencies from start to stop (either direction) in steps of
    step MHz, which must be greater than 0; stop is included when the steps
    reach it to within a billionth of a step. Points lie on a micro-hertz
    grid. At most 100000 points; ValueError otherwise. The same
    rule as vontrel::sweep_points in C++ and the tool's sweep."""
    start = check_frequency(start, "sweep start")
    stop = check_frequency(stop, "sweep stop")
    step = number(step, "sweep step")
    if not 0.0 < step <= FREQ_MAX_MHZ:
        raise ValueError(f"sweep step {step} MHz must be greater than 0 and at most "
                         f"{FREQ_MAX_MHZ}")
    count = math.floor(abs(stop - start) / step + 1e-9) + 1
    if count > SWEEP_POINTS_MAX:
        raise ValueError(f"the sweep has {count} points; at most {SWEEP_POINTS_MAX} are taken")
    direction = 1.0 if stop >= start else -1.0
    # Rounded half away from zero, as in C++.
    return [math.floor((start + direction * i * step) * 1e6 + 0.5) / 1e6 for i in range(count)]
