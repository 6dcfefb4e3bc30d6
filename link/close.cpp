// SPDX-License-Identifier: MIT
// Vontrel_Close: release a unit opened by Vontrel_Open.
#include "include/vontrel.h"
#include "link/guarded.h"
#include "link/handle_table.h"

extern "C" int Vontrel_Close(void *handle)
{
    unsigned long status = FT_OK;
    return vontrel::Guarded(&status, static_cast<int>(FT_INSUFFICIENT_RESOURCES), [&] {
        const auto token = vontrel::TokenFromArgument(handle);
        // Removing the token refuses every later call on it and waits for
        // the calls already in flight to return, so the converter is closed
        // exactly once and no call reaches it afterwards.
        const auto unit = token ? vontrel::HandleTable::Instance().Remove(*token) : std::nullopt;
        if (!unit) {
            return static_cast<int>(FT_INVALID_HANDLE);
        }
        return static_cast<int>(FT_Close(*unit));
    });
}
