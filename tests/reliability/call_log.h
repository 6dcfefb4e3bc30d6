// SPDX-License-Identifier: MIT
// Helpers for the reliability suites: the simulated bench's call log in a
// form that compares across runs, and opening units through the exports.
#ifndef VONTREL_TESTS_RELIABILITY_CALL_LOG_H
#define VONTREL_TESTS_RELIABILITY_CALL_LOG_H

#include <cstdio>
#include <string>
#include <vector>

#include "tests/wire/sim_fixture.h"

namespace reliability {

// What an output is filled with before a call, to see whether the call
// wrote it.
inline constexpr int kUntouched = -7;

// One D2XX call as "function c<converter>", with the frame for FT_Write.
inline std::string Describe(const vsim_call &c)
{
    std::string s = std::string(c.function) + " c" + std::to_string(c.converter);
    if (std::string(c.function) == "FT_Write") {
        char hex[3 * 8 + 1] = {};
        for (int i = 0; i < 8; ++i) {
            std::snprintf(hex + 3 * i, 4, " %02X", c.bytes[i]);
        }
        s += hex;
    }
    return s;
}

inline std::vector<std::string> DescribedLog()
{
    std::vector<std::string> calls;
    for (const vsim_call &c : SimLog()) {
        calls.push_back(Describe(c));
    }
    return calls;
}

// Opens every unit on the bench and returns the tokens by enumeration index
// (0 where nothing was written).
inline std::vector<int> OpenAll(std::size_t converters)
{
    unsigned long status = 0;
    int found = 0;
    std::vector<int> handles(converters, 0);
    std::vector<int> serials(converters, 0);
    Vontrel_Open(&status, &found, handles.data(), serials.data());
    return handles;
}

}  // namespace reliability

#endif
