# SPDX-License-Identifier: MIT
"""Python interface to libvontrel, the driver library of the Vontrel USB RF
synthesizer unit.

    import vontrel
    with vontrel.open() as unit:
        unit.apply(frequency=2455.0, mode=vontrel.Mode.LEVEL, level=5.0)
        unit.wait_lock(1.0)
        print(unit.status)

The library is loaded on first use from $VONTREL_LIBRARY, then from next to
this package, then from the dynamic loader's search path. The mains switch
that powers the units (open_mains_switch, list_mains_switches, outlet_of)
comes from libvontrel-mains, found the same way ($VONTREL_MAINS_LIBRARY).
"""

from ._layout import (FIELDS, READBACK_ENTRIES, SETTING_FIELDS, WRITEOUT_ENTRIES, Mode,
                      Settings, Status, Switch, readback_to_writeout)
from ._library import ENV_VAR, LibraryNotFoundError, library, library_path
from ._limits import sweep_points
from ._mains import (MainsSwitch, MainsSwitchInfo, list_mains_switches, mains_description,
                     mains_library, open_mains_switch, outlet_of)
from ._status import (STATUS_TABLE, UnitNotFoundError, VontrelError, status_message,
                      status_name)
from ._unit import Info, SweepPoint, Unit, open, open_all

__version__ = "0.1.0"

__all__ = [
    "ENV_VAR", "FIELDS", "Info", "LibraryNotFoundError", "MainsSwitch", "MainsSwitchInfo",
    "Mode", "READBACK_ENTRIES", "SETTING_FIELDS", "STATUS_TABLE", "Settings", "Status",
    "SweepPoint", "Switch", "Unit", "UnitNotFoundError", "VontrelError", "WRITEOUT_ENTRIES",
    "library", "library_path", "list_mains_switches", "mains_description", "mains_library",
    "open", "open_all", "open_mains_switch", "outlet_of", "readback_to_writeout",
    "status_message", "status_name", "sweep_points",
]
