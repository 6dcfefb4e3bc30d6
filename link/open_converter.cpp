#include "link/open_converter.h"

namespace vontrel {

std::optional<FT_HANDLE> OpenConverter(unsigned long *status, int index)
{
    FT_HANDLE handle = nullptr;
    *status = FT_Open(index, &handle);
    if (*status != FT_OK) {
        return std::nullopt;
    }
    if ((*status = FT_ResetDevice(handle)) != FT_OK ||
        (*status = FT_SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs)) != FT_OK ||
        (*status = FT_SetBaudRate(handle, kBaudRate)) != FT_OK ||
        (*status = FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE)) !=
            FT_OK) {
        AbandonConverter(handle);
        return std::nullopt;
    }
    return handle;
}

void AbandonConverter(FT_HANDLE handle)
{
    FT_Close(handle);
}

}  // namespace vontrel
