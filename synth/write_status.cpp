// SPDX-License-Identifier: MIT
// Vontrel_WriteStatus: program the unit from the status vector.
#include <algorithm>

#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"
#include "protocol/unit_protocol.h"
#include "synth/calibration.h"
#include "synth/writeout.h"

extern "C" void Vontrel_WriteStatus(unsigned long *status, void *handle, double *Values)
{
    using namespace vontrel;  // NOLINT(google-build-using-namespace)
    RunOnUnit(status, handle, Values != nullptr, 0, [&](Link &unit) {
        WriteOutVector values{};
        std::copy(Values, Values + values.size(), values.begin());
        // A request that means nothing is refused before anything, setting
        // bytes included, reaches the unit: a NaN frequency has no place on
        // the frequency grid, and a NaN level in mode 3 would become an
        // attenuation code of 0, the unit's full output.
        if (!IsProgrammable(values)) {
            *status = FT_INVALID_PARAMETER;
            return 0;
        }

        // The exchanges run in a fixed order and none is tested; *status
        // keeps the first failure. A unit that stops answering ends the
        // sequence there (see Transact): nothing after it is written, and
        // no register word is built from a table byte that never came.
        const WriteOutPlan plan = PlanWriteOut(values);
        WriteMemoryByte(status, unit, mem::kLastTrimA, plan.trim_a_byte);
        WriteMemoryByte(status, unit, mem::kLastTrimB, plan.trim_b_byte);
        WriteMemoryByte(status, unit, mem::kStoredSetting, plan.stored_setting_byte);

        TableReads tables{};
        if (plan.reads_trim_tables) {
            tables.a = ReadTableEntry(status, unit, CalibrationTable::kA, plan.k);
            tables.b = ReadTableEntry(status, unit, CalibrationTable::kB, plan.k);
        }
        tables.c = ReadTableEntry(status, unit, CalibrationTable::kC, plan.k);

        const RegisterImage image = EncodeRegisters(values, tables);
        for (int r = 0; r < kRegisterCount; ++r) {
            WriteRegister(status, unit, r, WordBytes(image[r]));
        }
        return 0;
    });
}
