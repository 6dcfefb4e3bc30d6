// SPDX-License-Identifier: MIT
#include "link/open_converter.h"

namespace vontrel {

std::optional<FT_HANDLE> OpenConverter(unsigned long *status, int index)
{
    FT_HANDLE handle = nullptr;
    *status = FT_Open(index, &handle);
    if (*status != FT_OK) {
        return std::nullopt;
    }
    if (ConfigureLink(handle, kReadTimeoutMs, [&](FT_STATUS s) { *status = s; }) != FT_OK) {
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
