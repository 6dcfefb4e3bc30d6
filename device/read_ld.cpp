// Vontrel_ReadLD: lock detect, from the low byte of register 0's read-back.
#include "include/vontrel.h"
#include "link/handle_table.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Response byte 6 carries register 0 bits 7..0; any nonzero value is lock.
constexpr std::size_t kLockByte = 6;

}  // namespace
}  // namespace vontrel

extern "C" int Vontrel_ReadLD(unsigned long *status, void *handle, int *LDstatus)
{
    if (status == nullptr) {
        return -1;
    }
    if (LDstatus == nullptr) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return vontrel::Guarded(status, -1, [&] {
        const auto unit = vontrel::ResolveUnit(status, handle);
        if (!unit) {
            *LDstatus = 0;
            return -1;
        }
        vontrel::Frame response{};
        const int read = vontrel::ReadRegister(status, *unit, 0, response);
        // Without a complete reply there is no lock indication: report none.
        *LDstatus = read == 0 && response[vontrel::kLockByte] != 0 ? 1 : 0;
        return 0;
    });
}
