// SPDX-License-Identifier: MIT
// The library's table of open mains switches: the small int handles given
// to callers and the D2XX handle behind each. A call on a switch holds the
// switch's own lock for its whole length, so that the read of the lines
// and the write that follows never split; closing takes the switch out of
// the table first (no new call finds it) and then waits for that lock.
#ifndef VONTREL_MAINS_SWITCH_TABLE_H
#define VONTREL_MAINS_SWITCH_TABLE_H

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "d2xx/ftd2xx.h"

namespace vontrel::mains {

struct OpenSwitch {
    explicit OpenSwitch(FT_HANDLE h) : handle(h) {}
    const FT_HANDLE handle;
    std::mutex calls;  // held by each call on the switch
};

class SwitchTable {
public:
    static SwitchTable &Instance();

    // Registers an opened switch and returns its handle, 1..INT_MAX, never
    // one still open; nullopt when VONTREL_MAINS_MAX_OPEN are open.
    std::optional<int> Add(FT_HANDLE handle);

    // The open switch `handle` names, or null.
    std::shared_ptr<OpenSwitch> Find(int handle);

    // Takes the switch out of the table; null when it was not open.
    std::shared_ptr<OpenSwitch> Remove(int handle);

private:
    std::mutex mutex_;
    std::map<int, std::shared_ptr<OpenSwitch>> open_;
    int next_ = 1;
};

}  // namespace vontrel::mains

#endif
