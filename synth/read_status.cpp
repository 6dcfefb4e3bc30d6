// SPDX-License-Identifier: MIT
// Vontrel_ReadStatus: read the synthesizer state back into the status vector.
#include <algorithm>
#include <array>

#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"
#include "protocol/unit_protocol.h"
#include "synth/calibration.h"
#include "synth/readback.h"

extern "C" int Vontrel_ReadStatus(unsigned long *status, void *handle, double *Values)
{
    using namespace vontrel;  // NOLINT(google-build-using-namespace)
    return RunOnUnit(status, handle, Values != nullptr, -1, [&](Link &unit) {
        // A register whose read-back fails decodes as all-zero fields, and a
        // failed memory read as the byte 0. A failed call does not stop the
        // sequence; a unit that stops answering does (see Transact): the
        // exchanges after it are not made and read as failed.
        RegisterImage words{};
        for (int r = 0; r < kRegisterCount; ++r) {
            Frame response;
            if (ReadRegister(status, unit, r, response) == 0) {
                words[r] = WordOfResponse(response);
            }
        }
        const DecodedRegisters regs = DecodeRegisters(words);

        const int k = CalibrationIndex(regs.freq_mhz);
        CalibrationEntries tables{};
        tables.d = ReadTableEntry(status, unit, CalibrationTable::kD, k);
        tables.c = ReadTableEntry(status, unit, CalibrationTable::kC, k);
        tables.b = ReadTableEntry(status, unit, CalibrationTable::kB, k);
        tables.a = ReadTableEntry(status, unit, CalibrationTable::kA, k);
        const int stored_setting = ReadMemoryByte(status, unit, mem::kStoredSetting);

        const ReadBackVector values = BuildReadBackVector(regs, tables, stored_setting);
        std::copy(values.begin(), values.end(), Values);
        return 0;
    });
}
