// SPDX-License-Identifier: MIT
// Switching and reading outlets: VontrelMains_SetOutlet,
// VontrelMains_GetOutlet, VontrelMains_GetOutlets.
#include "include/vontrel_mains.h"
#include "mains/calls.h"

namespace vontrel::mains {
namespace {

bool IsOutlet(int outlet)
{
    return outlet >= 1 && outlet <= VONTREL_MAINS_OUTLETS;
}

// The lines now, or nullopt.
std::optional<UCHAR> ReadLines(unsigned long *status, const OpenSwitch &sw)
{
    UCHAR lines = 0;
    const FT_STATUS s = FT_GetBitMode(sw.handle, &lines);
    Record(status, s);
    return s == FT_OK ? std::optional<UCHAR>(lines) : std::nullopt;
}

}  // namespace
}  // namespace vontrel::mains

using vontrel::mains::Guarded;
using vontrel::mains::OnSwitch;
using vontrel::mains::OpenSwitch;

extern "C" int VontrelMains_SetOutlet(unsigned long *status, int handle, int outlet, int on)
{
    if (status == nullptr) {
        return -1;
    }
    *status = FT_OK;
    if (!vontrel::mains::IsOutlet(outlet)) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return Guarded(status, [&] {
        return OnSwitch(status, handle, [&](OpenSwitch &sw) {
            const auto lines = vontrel::mains::ReadLines(status, sw);
            if (!lines) {
                return -1;
            }
            const unsigned char bit = vontrel::mains::OutletBit(outlet);
            const auto wanted = static_cast<unsigned char>(on != 0 ? *lines | bit : *lines & ~bit);
            if (wanted == *lines) {
                return 0;
            }
            return vontrel::mains::WriteLines(status, sw.handle, wanted) ? 0 : -1;
        });
    });
}

extern "C" int VontrelMains_GetOutlet(unsigned long *status, int handle, int outlet, int *on)
{
    if (status == nullptr) {
        return -1;
    }
    *status = FT_OK;
    if (on == nullptr || !vontrel::mains::IsOutlet(outlet)) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return Guarded(status, [&] {
        return OnSwitch(status, handle, [&](OpenSwitch &sw) {
            const auto lines = vontrel::mains::ReadLines(status, sw);
            if (!lines) {
                return -1;
            }
            *on = (*lines & vontrel::mains::OutletBit(outlet)) != 0 ? 1 : 0;
            return 0;
        });
    });
}

extern "C" int VontrelMains_GetOutlets(unsigned long *status, int handle, unsigned char *lines)
{
    if (status == nullptr) {
        return -1;
    }
    *status = FT_OK;
    if (lines == nullptr) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return Guarded(status, [&] {
        return OnSwitch(status, handle, [&](OpenSwitch &sw) {
            const auto read = vontrel::mains::ReadLines(status, sw);
            if (!read) {
                return -1;
            }
            *lines = *read;
            return 0;
        });
    });
}
