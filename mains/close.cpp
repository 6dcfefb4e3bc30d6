// SPDX-License-Identifier: MIT
// VontrelMains_Close: the switch leaves the table, the calls in flight on
// it finish, and its converter is closed. Bit-bang stays on, so the outlets
// stay as they are.
#include "include/vontrel_mains.h"
#include "mains/calls.h"

extern "C" int VontrelMains_Close(int handle)
{
    try {
        const std::shared_ptr<vontrel::mains::OpenSwitch> sw =
            vontrel::mains::SwitchTable::Instance().Remove(handle);
        if (sw == nullptr) {
            return static_cast<int>(FT_INVALID_HANDLE);
        }
        const std::lock_guard<std::mutex> lock(sw->calls);  // the calls in flight end first
        return static_cast<int>(FT_Close(sw->handle));
    } catch (...) {
        return static_cast<int>(FT_INSUFFICIENT_RESOURCES);
    }
}
