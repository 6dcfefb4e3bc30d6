// Vontrel_Close: release a unit opened by Vontrel_Open.
#include "include/vontrel.h"
#include "link/handle_table.h"

extern "C" int Vontrel_Close(void *handle)
{
    unsigned long status = FT_OK;
    return vontrel::Guarded(&status, static_cast<int>(FT_INSUFFICIENT_RESOURCES), [&] {
        const auto token = vontrel::TokenFromArgument(handle);
        // The token is forgotten before the converter is closed, so no other
        // thread can reach the handle while it goes away.
        const auto unit = token ? vontrel::HandleTable::Instance().Remove(*token) : std::nullopt;
        if (!unit) {
            return static_cast<int>(FT_INVALID_HANDLE);
        }
        return static_cast<int>(FT_Close(*unit));
    });
}
