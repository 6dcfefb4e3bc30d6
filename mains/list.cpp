// SPDX-License-Identifier: MIT
// VontrelMains_List, and the walk over the converters that finds switches.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "include/vontrel.h"
#include "include/vontrel_mains.h"
#include "mains/calls.h"

namespace vontrel::mains {
namespace {

// One text FT_ListDevices gives for converter `index`, or nullopt.
std::optional<std::string> ListText(unsigned long *status, int index, DWORD what)
{
    char text[VONTREL_MAINS_TEXT_SIZE + 1] = {};
    const FT_STATUS s = FT_ListDevices(reinterpret_cast<void *>(static_cast<std::uintptr_t>(index)),
                                       text, FT_LIST_BY_INDEX | what);
    Record(status, s);
    if (s != FT_OK) {
        return std::nullopt;
    }
    return std::string(text, strnlen(text, VONTREL_MAINS_TEXT_SIZE - 1));
}

}  // namespace

std::optional<std::string> Description(unsigned long *status, const char *description)
{
    const char *text = description != nullptr ? description : VONTREL_MAINS_DEFAULT_DESCRIPTION;
    const std::size_t length = strnlen(text, VONTREL_MAINS_TEXT_SIZE);
    if (length == 0 || length >= VONTREL_MAINS_TEXT_SIZE) {
        Record(status, FT_INVALID_PARAMETER);
        return std::nullopt;
    }
    return std::string(text, length);
}

std::optional<std::vector<Match>> Walk(unsigned long *status, const std::string &description,
                                       bool serials, const char *stop_at_serial)
{
    DWORD count = 0;
    const FT_STATUS counted = FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    Record(status, counted);
    if (counted != FT_OK) {
        return std::nullopt;
    }
    const int walked = static_cast<int>(std::min<DWORD>(count, VONTREL_MAX_CONVERTERS));
    std::vector<Match> matches;
    for (int i = 0; i < walked; ++i) {
        const auto text = ListText(status, i, FT_OPEN_BY_DESCRIPTION);
        if (!text || text->compare(0, description.size(), description) != 0) {
            continue;
        }
        Match m{i, *text, {}};
        if (serials) {
            const auto serial = ListText(status, i, FT_OPEN_BY_SERIAL_NUMBER);
            if (!serial) {
                continue;
            }
            m.serial = *serial;
        }
        matches.push_back(std::move(m));
        if (stop_at_serial != nullptr &&
            (*stop_at_serial == '\0' || matches.back().serial == stop_at_serial)) {
            break;
        }
    }
    return matches;
}

}  // namespace vontrel::mains

extern "C" int VontrelMains_List(unsigned long *status, const char *description,
                                 VontrelMainsSwitch *switches, int capacity, int *found)
{
    if (status == nullptr) {
        return -1;
    }
    *status = FT_OK;
    if (found == nullptr || capacity < 0 || (switches == nullptr && capacity > 0)) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return vontrel::mains::Guarded(status, [&] {
        const auto wanted = vontrel::mains::Description(status, description);
        if (!wanted) {
            return -1;
        }
        const auto matches = vontrel::mains::Walk(status, *wanted, true);
        if (!matches) {
            return -1;
        }
        const std::size_t written = std::min<std::size_t>(matches->size(), capacity);
        for (std::size_t i = 0; i < written; ++i) {
            const vontrel::mains::Match &m = (*matches)[i];
            VontrelMainsSwitch &out = switches[i];
            out = {};
            out.index = m.index;
            std::memcpy(out.description, m.description.c_str(), m.description.size() + 1);
            std::memcpy(out.serial, m.serial.c_str(), m.serial.size() + 1);
        }
        *found = static_cast<int>(matches->size());
        return 0;
    });
}
