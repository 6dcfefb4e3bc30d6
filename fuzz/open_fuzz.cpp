// SPDX-License-Identifier: MIT
// Vontrel_Open over an arbitrary list of simulated converters, some
// unplugged, with arbitrary faults armed in the simulator.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.h"

namespace {

void Require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

const char *const kFunctions[] = {nullptr,
                                  "FT_ListDevices",
                                  "FT_Open",
                                  "FT_ResetDevice",
                                  "FT_SetTimeouts",
                                  "FT_SetBaudRate",
                                  "FT_SetDataCharacteristics",
                                  "FT_Write",
                                  "FT_Read",
                                  "FT_Close"};

struct Plugged {
    bool unit;
    bool matches;  // description begins with 'V'
    int serial;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    vsim_clear();
    std::vector<Plugged> enumerated;  // plugged converters, by enumeration index
    const int converters = in.ConsumeIntegralInRange(0, 6);
    for (int id = 0; id < converters; ++id) {
        const int kind = in.ConsumeIntegralInRange(0, 3);
        const auto serial = in.ConsumeIntegral<std::uint16_t>();
        const bool unit = kind < 2;
        const std::string description = kind == 0 || kind == 2 ? "Vontrel"
                                        : kind == 1            ? "unit"
                                                               : "";
        if (unit) {
            vsim_add_unit(description.c_str(), serial);
        } else {
            vsim_add_converter(description.c_str());
        }
        if (in.ConsumeBool()) {
            vsim_unplug(id);
        } else {
            enumerated.push_back({unit, !description.empty() && description[0] == 'V', serial});
        }
    }
    const int faults = in.ConsumeIntegralInRange(0, 8);
    for (int f = 0; f < faults; ++f) {
        const int kind = in.ConsumeIntegralInRange(0, 2);
        const char *function = kFunctions[in.ConsumeIntegralInRange<std::size_t>(0, 9)];
        const long nth = in.ConsumeIntegralInRange(1, 40);
        const auto status = static_cast<FT_STATUS>(in.ConsumeIntegralInRange(1, 19));
        if (kind == 0) {
            vsim_fail_call(function, nth, status);
        } else if (kind == 1) {
            vsim_fail_call_after(function, nth, status);
        } else {
            vsim_short_read(nth, in.ConsumeIntegralInRange<DWORD>(0, 7));
        }
    }

    // Arrays of exactly one entry per converter: any write past them is a
    // sanitizer finding.
    const std::size_t n = enumerated.empty() ? 1 : enumerated.size();
    std::vector<int> handles(n, -7), serials(n, -7);
    unsigned long status = 99;
    int found = -7;
    const int result = Vontrel_Open(&status, &found, handles.data(), serials.data());
    vsim_clear_faults();

    Require(result == 0 || result == -1 || result == -2);
    int matching = 0, written = 0;
    for (const Plugged &p : enumerated) {
        matching += p.matches ? 1 : 0;
    }
    if (result != 0) {
        Require(found == -7);
    } else {
        Require(found >= 0 && found <= matching);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (handles[i] == -7) {
            Require(serials[i] == -7);
            continue;
        }
        // Only units that match get entries, with their own serial number.
        Require(result == 0 && i < enumerated.size() && enumerated[i].unit &&
                enumerated[i].matches && serials[i] == enumerated[i].serial);
        ++written;
    }
    // A unit that failed any step was closed again (unless the converter
    // library refused that close).
    int refused_closes = 0;
    for (std::size_t i = 0; i < vsim_log_size(); ++i) {
        vsim_call call{};
        vsim_log_entry(i, &call);
        refused_closes += std::string(call.function) == "FT_Close" && call.status != FT_OK;
    }
    const int open = vsim_open_handles();
    Require(open >= written && open <= written + refused_closes);
    for (int h : handles) {
        if (h != -7) {
            Require(Vontrel_Close(reinterpret_cast<void *>(static_cast<std::intptr_t>(h))) == 0);
        }
    }
    return 0;
}
