// Vontrel_ReadLD: lock detect, from the low byte of register 0's read-back.
#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Response byte 6 carries register 0 bits 7..0; any nonzero value is lock.
constexpr std::size_t kLockByte = 6;

}  // namespace
}  // namespace vontrel

extern "C" int Vontrel_ReadLD(unsigned long *status, void *handle, int *LDstatus)
{
    return vontrel::RunOnUnit(
        status, handle, LDstatus != nullptr, -1, [&] { *LDstatus = 0; },
        [&](FT_HANDLE unit) {
            vontrel::Frame response{};
            const int read = vontrel::ReadRegister(status, unit, 0, response);
            // Without a complete reply there is no lock indication: report none.
            *LDstatus = read == 0 && response[vontrel::kLockByte] != 0 ? 1 : 0;
            return 0;
        });
}
