// Vontrel_WriteStatus: program the unit from the status vector.
#include <algorithm>
#include <cmath>

#include "device/memory_map.h"
#include "include/vontrel.h"
#include "link/handle_table.h"
#include "link/transact.h"
#include "synth/calibration.h"
#include "synth/writeout.h"

extern "C" void Vontrel_WriteStatus(unsigned long *status, void *handle, double *Values)
{
    using namespace vontrel;  // NOLINT(google-build-using-namespace)
    if (status == nullptr) {
        return;
    }
    GuardedVoid(status, [&] {
        if (Values == nullptr) {
            *status = FT_INVALID_PARAMETER;
            return;
        }
        const auto unit = ResolveUnit(status, handle);
        if (!unit) {
            return;
        }
        WriteOutVector values{};
        std::copy(Values, Values + values.size(), values.begin());
        // A NaN frequency has no place on the frequency grid: refuse it
        // before anything, setting bytes included, reaches the unit.
        if (std::isnan(values[wo::kFreqMHz])) {
            *status = FT_INVALID_PARAMETER;
            return;
        }

        // The exchanges run in a fixed order and none is tested: a failure
        // shows only in *status, which ends with the register 7 write's.
        const WriteOutPlan plan = PlanWriteOut(values);
        WriteMemoryByte(status, *unit, mem::kLastTrimA, plan.trim_a_byte);
        WriteMemoryByte(status, *unit, mem::kLastTrimB, plan.trim_b_byte);
        WriteMemoryByte(status, *unit, mem::kStoredSetting, plan.stored_setting_byte);

        TableReads tables{};
        if (plan.reads_trim_tables) {
            tables.a = ReadTableEntry(status, *unit, CalibrationTable::kA, plan.k);
            tables.b = ReadTableEntry(status, *unit, CalibrationTable::kB, plan.k);
        }
        tables.c = ReadTableEntry(status, *unit, CalibrationTable::kC, plan.k);

        const RegisterImage image = EncodeRegisters(values, tables);
        for (int r = 0; r < kRegisterCount; ++r) {
            WriteRegister(status, *unit, r, image[r]);
        }
    });
}
