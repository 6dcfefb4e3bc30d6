#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Opens the first unit, sets 2455 MHz at a chosen level (level mode), waits
for lock and prints the status.

    set_and_status.py [level]      level in level units, default 5.0
"""
import sys

import vontrel


def main():
    level = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    try:
        with vontrel.open() as unit:
            print(f"unit {unit.serial}")
            unit.apply(frequency=2455.0, mode=vontrel.Mode.LEVEL, level=level)
            locked = unit.wait_lock(timeout=1.0)
            s = unit.status
            low, high = s.level_range
            print(f"frequency   {s.frequency:.6f} MHz")
            print(f"level       {s.level:.2f} (calibrated range {low:.2f} to {high:.2f})")
            print(f"attenuation {s.attenuation:.2f}")
            print(f"mode        {s.mode.name}")
            print(f"lock        {'locked' if locked else 'NOT locked'}")
            return 0 if locked else 1
    except (vontrel.VontrelError, ValueError) as e:
        print(e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
