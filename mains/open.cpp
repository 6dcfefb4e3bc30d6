// SPDX-License-Identifier: MIT
// VontrelMains_Open: finds the switch, opens it and puts it in bit-bang
// mode with its outlets as they were.
#include <cstring>

#include "include/vontrel_mains.h"
#include "mains/calls.h"

namespace vontrel::mains {
namespace {

// What a switch waits at most for one of its calls.
constexpr ULONG kTimeoutMs = 1000;

// Every line an output.
constexpr UCHAR kAllOutputs = 0xFF;

// Opens converter `index` as a switch. The lines are read before bit-bang
// is turned on and written back at once, so no outlet changes. nullopt
// (and the converter closed again) when a step fails.
std::optional<FT_HANDLE> OpenConverter(unsigned long *status, int index)
{
    FT_HANDLE handle = nullptr;
    const FT_STATUS opened = FT_Open(index, &handle);
    Record(status, opened);
    if (opened != FT_OK) {
        return std::nullopt;
    }
    UCHAR lines = 0;
    const auto step = [&](FT_STATUS s) {
        Record(status, s);
        return s == FT_OK;
    };
    if (step(FT_SetTimeouts(handle, kTimeoutMs, kTimeoutMs)) &&
        step(FT_GetBitMode(handle, &lines)) &&
        step(FT_SetBitMode(handle, kAllOutputs, FT_BITMODE_ASYNC_BITBANG)) &&
        WriteLines(status, handle, lines)) {
        return handle;
    }
    FT_Close(handle);  // its status is not kept: the step that failed is reported
    return std::nullopt;
}

}  // namespace

bool WriteLines(unsigned long *status, FT_HANDLE handle, unsigned char lines)
{
    DWORD written = 0;
    const FT_STATUS s = FT_Write(handle, &lines, 1, &written);
    Record(status, s != FT_OK ? s : written != 1 ? FT_IO_ERROR : FT_OK);
    return s == FT_OK && written == 1;
}

}  // namespace vontrel::mains

extern "C" int VontrelMains_Open(unsigned long *status, const char *description, const char *serial,
                                 int *handle)
{
    using namespace vontrel::mains;  // NOLINT(google-build-using-namespace)
    if (status == nullptr) {
        return -1;
    }
    *status = FT_OK;
    if (handle == nullptr) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return Guarded(status, [&] {
        const auto wanted = Description(status, description);
        if (!wanted) {
            return -1;
        }
        const bool by_serial = serial != nullptr && *serial != '\0';
        const auto matches = Walk(status, *wanted, by_serial, by_serial ? serial : "");
        // A converter whose description or serial could not be read may be
        // the switch asked for: nothing is opened on a doubtful walk.
        if (!matches || *status != FT_OK) {
            return -1;
        }
        const Match *chosen = nullptr;
        for (const Match &m : *matches) {
            if (!by_serial || m.serial == serial) {
                chosen = &m;
                break;
            }
        }
        if (chosen == nullptr) {
            Record(status, FT_DEVICE_NOT_FOUND);
            return -1;
        }
        const auto opened = OpenConverter(status, chosen->index);
        if (!opened) {
            return -1;
        }
        std::optional<int> token;
        try {
            token = SwitchTable::Instance().Add(*opened);
        } catch (...) {
            FT_Close(*opened);
            throw;
        }
        if (!token) {
            FT_Close(*opened);
            Record(status, FT_INSUFFICIENT_RESOURCES);
            return -1;
        }
        *handle = *token;
        return 0;
    });
}
