// Vontrel_Open: find, open and configure every attached unit.
#include <cstdint>
#include <vector>

#include "device/memory_map.h"
#include "include/vontrel.h"
#include "link/handle_table.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Only the first character of the expected description takes part in the
// match: a converter whose description begins with it is taken for a unit.
constexpr char kExpectedDescription[] = "Vontrel";
constexpr std::size_t kDescriptionSize = 64;

constexpr ULONG kReadTimeoutMs = 2000;
constexpr ULONG kWriteTimeoutMs = 2000;
constexpr ULONG kBaudRate = 19230;

struct OpenedUnit {
    int index;
    int serial;
    int token;
};

// Opens, resets and configures converter `index` and reads its serial
// number. On any failure the converter is closed again (its handle would
// otherwise be lost, since the caller never learns it) and nullopt comes
// back; *status keeps the failing call's status, not the clean-up close's.
std::optional<FT_HANDLE> OpenAndConfigure(unsigned long *status, int index, int *serial)
{
    FT_HANDLE handle = nullptr;
    *status = FT_Open(index, &handle);
    if (*status != FT_OK) {
        return std::nullopt;
    }
    const auto give_up = [&]() -> std::optional<FT_HANDLE> {
        FT_Close(handle);
        return std::nullopt;
    };
    if ((*status = FT_ResetDevice(handle)) != FT_OK) {
        return give_up();
    }
    if ((*status = FT_SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs)) != FT_OK) {
        return give_up();
    }
    if ((*status = FT_SetBaudRate(handle, kBaudRate)) != FT_OK) {
        return give_up();
    }
    if ((*status = FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE)) !=
        FT_OK) {
        return give_up();
    }
    const int low = ReadMemoryByte(status, handle, mem::kSerialLow);
    if (*status != FT_OK) {
        return give_up();
    }
    const int high = ReadMemoryByte(status, handle, mem::kSerialHigh);
    if (*status != FT_OK) {
        return give_up();
    }
    *serial = high * 256 + low;
    return handle;
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

    HandleTable &table = HandleTable::Instance();
    std::vector<OpenedUnit> opened;
    try {
        int matched = 0;
        for (int i = 0; i < count; ++i) {
            char description[kDescriptionSize] = {};
            *status = FT_ListDevices(reinterpret_cast<void *>(static_cast<std::uintptr_t>(i)),
                                     description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
            if (*status != FT_OK || description[0] != kExpectedDescription[0]) {
                continue;
            }
            ++matched;  // counted before any attempt to open it
            int serial = 0;
            const auto handle = OpenAndConfigure(status, i, &serial);
            if (!handle) {
                continue;
            }
            try {
                opened.push_back({i, serial, 0});
                opened.back().token = table.Add(*handle);
            } catch (...) {
                FT_Close(*handle);
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
                FT_Close(*handle);
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
