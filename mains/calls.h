// SPDX-License-Identifier: MIT
// How every function of the library keeps its status and starts: the
// first failure kept, the exception barrier, the walk over the converters
// that finds switches, and one call on an open switch.
#ifndef VONTREL_MAINS_CALLS_H
#define VONTREL_MAINS_CALLS_H

#include <optional>
#include <string>
#include <vector>

#include "d2xx/ftd2xx.h"
#include "mains/switch_table.h"

namespace vontrel::mains {

// Keeps the first failure: a status is stored only while *status is FT_OK.
inline void Record(unsigned long *status, FT_STATUS result)
{
    if (*status == FT_OK) {
        *status = result;
    }
}

// Runs `body` and returns its result; any exception becomes
// FT_INSUFFICIENT_RESOURCES and -1.
template <typename Body>
int Guarded(unsigned long *status, Body &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        Record(status, FT_INSUFFICIENT_RESOURCES);
        return -1;
    }
}

// The description a caller asked for: its own, or the default. nullopt
// (and FT_INVALID_PARAMETER) for one that is empty or does not fit.
std::optional<std::string> Description(unsigned long *status, const char *description);

// A converter the walk matched.
struct Match {
    int index;
    std::string description;
    std::string serial;  // "" when not asked for
};

// Walks the converters in enumeration order (at most
// VONTREL_MAX_CONVERTERS) and returns those whose description begins with
// `description`, with their serial strings when `serials`. Every D2XX
// result is recorded; a converter whose description or serial cannot be
// read is left out. nullopt when the count of converters failed. With
// `stop_at_serial`, the walk ends at the first match with that serial.
std::optional<std::vector<Match>> Walk(unsigned long *status, const std::string &description,
                                       bool serials, const char *stop_at_serial = nullptr);

// Runs `body(OpenSwitch &)` on the switch `handle` names, holding its lock;
// FT_INVALID_HANDLE and -1 when it is not open.
template <typename Body>
int OnSwitch(unsigned long *status, int handle, Body &&body)
{
    const std::shared_ptr<OpenSwitch> sw = SwitchTable::Instance().Find(handle);
    if (sw == nullptr) {
        Record(status, FT_INVALID_HANDLE);
        return -1;
    }
    const std::lock_guard<std::mutex> lock(sw->calls);
    return body(*sw);
}

// Outlet n's bit in the lines: outlet 1 is line 0.
inline unsigned char OutletBit(int outlet)
{
    return static_cast<unsigned char>(1u << (outlet - 1));
}

// Writes one byte of line levels; FT_IO_ERROR when the converter took it
// and said it sent nothing. Returns whether it went out.
bool WriteLines(unsigned long *status, FT_HANDLE handle, unsigned char lines);

}  // namespace vontrel::mains

#endif
