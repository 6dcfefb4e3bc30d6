// SPDX-License-Identifier: MIT
// Vontrel_ReadLD: lock detect, from the low byte of register 0's read-back.
#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"

extern "C" int Vontrel_ReadLD(unsigned long *status, void *handle, int *LDstatus)
{
    return vontrel::RunOnUnit(
        status, handle, LDstatus != nullptr, -1, [&] { *LDstatus = 0; },
        [&](vontrel::Link &unit) {
            vontrel::Frame response{};
            const int read = vontrel::ReadRegister(status, unit, 0, response);
            // Without a complete reply there is no lock indication: report
            // none. Reply byte 6 carries register 0 bits 7..0; any nonzero
            // value is lock.
            *LDstatus = read == 0 && response[vontrel::reply::kLockByte] != 0 ? 1 : 0;
            return 0;
        });
}
