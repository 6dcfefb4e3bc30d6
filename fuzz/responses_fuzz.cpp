// SPDX-License-Identifier: MIT
// Every export over a D2XX double (scripted_d2xx) whose every answer comes
// from the input: Vontrel_Open, then a run of calls on the tokens it handed
// out (and on stale or made-up ones), then closing everything. Outputs go
// to heap buffers of exactly their documented size.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/scripted_d2xx.h"
#include "include/vontrel.h"

namespace {

using scripted::Require;

void *AsHandle(int token)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
}

// *status keeps the first failure of the export's D2XX calls (a short read
// counting as FT_IO_ERROR); a call that made no D2XX call refused its
// arguments.
void CheckStatus(unsigned long status, long calls_before)
{
    if (scripted::Calls() == calls_before) {
        Require(status == FT_INVALID_HANDLE || status == FT_INVALID_PARAMETER);
    } else {
        Require(scripted::IsFirstFailureSince(status, calls_before));
    }
}

bool OneOf(double v, std::initializer_list<double> set)
{
    for (double s : set) {
        if (v == s) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    scripted::Begin(&in);

    constexpr int kMaxConverters = 4;
    std::vector<int> handles(kMaxConverters, 0), serials(kMaxConverters, -1);
    unsigned long status = 99;
    int found = -1;
    const int result = Vontrel_Open(&status, &found, handles.data(), serials.data());
    Require(result == 0 || result == -1 || result == -2);
    std::vector<int> tokens;
    for (int i = 0; i < kMaxConverters; ++i) {
        if (handles[i] != 0) {
            Require(result == 0 && serials[i] >= 0 && serials[i] <= 65535);
            tokens.push_back(handles[i]);
        }
    }
    Require(result != 0 || (found >= static_cast<int>(tokens.size()) && found <= kMaxConverters));
    // Units that failed a step after opening were closed again.
    Require(scripted::LiveHandles() == static_cast<int>(tokens.size()));
    std::vector<bool> closed(tokens.size(), false);

    for (int op = 0; op < 24 && in.remaining_bytes() > 0; ++op) {
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, tokens.size());
        void *handle =
            pick < tokens.size() ? AsHandle(tokens[pick]) : AsHandle(in.ConsumeIntegral<int>());
        const long before = scripted::Calls();
        const bool stale = pick < tokens.size() && closed[pick];
        status = 99;
        switch (in.ConsumeIntegralInRange(0, 6)) {
            case 0: {
                int sn = -1;
                auto frev = std::make_unique<char[]>(VONTREL_FREV_SIZE);
                auto hrev = std::make_unique<char[]>(VONTREL_HREV_SIZE);
                auto cal = std::make_unique<char[]>(VONTREL_CALDATE_SIZE);
                auto ifb = std::make_unique<char[]>(VONTREL_IFBAND_SIZE);
                const int r = Vontrel_ReadInfo(&status, handle, &sn, frev.get(), hrev.get(),
                                               cal.get(), ifb.get());
                Require(r == 0 || r == -1 || r == -2);
                Require(r != 0 ||
                        (sn >= 0 && sn <= 65535 && std::strlen(frev.get()) < VONTREL_FREV_SIZE &&
                         std::strlen(cal.get()) < VONTREL_CALDATE_SIZE &&
                         std::strlen(ifb.get()) < VONTREL_IFBAND_SIZE));
                break;
            }
            case 1: {
                int ld = -1;
                const int r = Vontrel_ReadLD(&status, handle, &ld);
                Require((r == 0 || r == -1) && (ld == 0 || ld == 1));
                Require(status == FT_OK || ld == 0);  // a failed exchange is never "locked"
                break;
            }
            case 2:
                Vontrel_Preset(&status, handle);
                break;
            case 3:
                Vontrel_SaveUserPreset(&status, handle);
                break;
            case 4: {
                auto values = std::make_unique<double[]>(VONTREL_READ_STATUS_ENTRIES);
                const int r = Vontrel_ReadStatus(&status, handle, values.get());
                Require(r == 0 || r == -1);
                if (r == 0) {
                    Require(OneOf(values[6], {0, 1, 2, 3}) && OneOf(values[9], {0, 2}));
                    Require(OneOf(values[10], {-1, 0, 1, 2, 3, 4}));
                }
                break;
            }
            case 5: {
                auto values = std::make_unique<double[]>(VONTREL_WRITE_STATUS_ENTRIES);
                const std::vector<std::uint8_t> bytes =
                    in.ConsumeBytes<std::uint8_t>(VONTREL_WRITE_STATUS_ENTRIES * sizeof(double));
                if (!bytes.empty()) {
                    std::memcpy(values.get(), bytes.data(), bytes.size());
                }
                Vontrel_WriteStatus(&status, handle, values.get());
                // At least the 12 exchanges when all went well (more calls
                // when the link was being put back in step); fewer when the
                // unit stopped answering; none at all for an unknown handle,
                // a NaN frequency or a NaN level in mode 3.
                const long made = scripted::Calls() - before;
                Require(status != FT_OK || made >= 24);
                Require(made != 0 || status == FT_INVALID_HANDLE || std::isnan(values[2]) ||
                        (values[5] == 3.0 && std::isnan(values[3])));
                break;
            }
            default: {
                const int r = Vontrel_Close(handle);
                if (scripted::Calls() == before) {
                    Require(r == static_cast<int>(FT_INVALID_HANDLE));
                } else {
                    Require(r == static_cast<int>(scripted::LastStatus()));
                    if (pick < tokens.size()) {
                        closed[pick] = true;
                    }
                }
                status = r == static_cast<int>(FT_INVALID_HANDLE) ? FT_INVALID_HANDLE
                                                                  : scripted::LastStatus();
                break;
            }
        }
        CheckStatus(status, before);
        Require(!stale || (scripted::Calls() == before && status == FT_INVALID_HANDLE));
    }

    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!closed[i]) {
            Vontrel_Close(AsHandle(tokens[i]));
        }
    }
    Require(scripted::LiveHandles() == 0);  // nothing the library opened stays open
    return 0;
}
