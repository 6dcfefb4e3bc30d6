// Vontrel_Open: find every attached unit among the converters, open and
// configure it, and read its serial number.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "device/memory_map.h"
#include "include/vontrel.h"
#include "link/guarded.h"
#include "link/handle_table.h"
#include "link/open_converter.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Only the first character of the expected description takes part in the
// match: a converter whose description begins with it is taken for a unit.
constexpr char kExpectedDescription[] = "Vontrel";
constexpr std::size_t kDescriptionSize = 64;

struct OpenedUnit {
    int index;
    int serial;
    int token;
};

// The serial number of a unit just opened, or nullopt when a read failed.
std::optional<int> ReadSerialNumber(unsigned long *status, FT_HANDLE handle)
{
    const int low = ReadMemoryByte(status, handle, mem::kSerialLow);
    if (*status != FT_OK) {
        return std::nullopt;
    }
    const int high = ReadMemoryByte(status, handle, mem::kSerialHigh);
    if (*status != FT_OK) {
        return std::nullopt;
    }
    return mem::SerialNumber(low, high);
}

// Whether converter `index` describes itself as a unit.
bool LooksLikeUnit(unsigned long *status, int index)
{
    char description[kDescriptionSize] = {};
    *status = FT_ListDevices(reinterpret_cast<void *>(static_cast<std::uintptr_t>(index)),
                             description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    return *status == FT_OK && description[0] == kExpectedDescription[0];
}

int OpenUnits(unsigned long *status, int *devicesFound, int *handles, int *serialNumbers)
{
    int count = 0;  // the D2XX writes the number of converters here
    *status = FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    if (count < 1) {
        return -1;
    }
    if (*status != FT_OK) {
        return -2;
    }
    // The caller's arrays are indexed by enumeration index and have no size
    // of their own: indices at or beyond the documented maximum are not
    // walked, so arrays of that many entries are always enough.
    const int walked = std::min(count, VONTREL_MAX_CONVERTERS);

    // Each step's status is stored as it comes, so *status ends as the last
    // call's; a failed step abandons its index and the walk goes on.
    HandleTable &table = HandleTable::Instance();
    std::vector<OpenedUnit> opened;
    try {
        int matched = 0;
        for (int i = 0; i < walked; ++i) {
            if (!LooksLikeUnit(status, i)) {
                continue;
            }
            ++matched;  // counted before any attempt to open it
            const auto handle = OpenConverter(status, i);
            if (!handle) {
                continue;
            }
            const auto serial = ReadSerialNumber(status, *handle);
            if (!serial) {
                AbandonConverter(*handle);  // the caller never learns its handle
                continue;
            }
            try {
                opened.push_back({i, *serial, 0});
                opened.back().token = table.Add(*handle);
            } catch (...) {
                AbandonConverter(*handle);
                if (!opened.empty() && opened.back().token == 0) {
                    opened.pop_back();
                }
                throw;
            }
        }
        // Results go out at the converter's enumeration index, serial number
        // first; entries of other converters keep what the caller left there.
        for (const OpenedUnit &unit : opened) {
            serialNumbers[unit.index] = unit.serial;
            handles[unit.index] = unit.token;
        }
        *devicesFound = matched;
        return 0;
    } catch (...) {
        // The caller learns nothing of this call, so nothing it opened may
        // stay open.
        for (const OpenedUnit &unit : opened) {
            if (const auto handle = table.Remove(unit.token)) {
                AbandonConverter(*handle);
            }
        }
        throw;
    }
}

}  // namespace
}  // namespace vontrel

extern "C" int Vontrel_Open(unsigned long *status, int *devicesFound, int *handles,
                            int *serialNumbers)
{
    if (status == nullptr) {
        return -1;
    }
    if (devicesFound == nullptr || handles == nullptr || serialNumbers == nullptr) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return vontrel::Guarded(status, -1, [&] {
        return vontrel::OpenUnits(status, devicesFound, handles, serialNumbers);
    });
}
