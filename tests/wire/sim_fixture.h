// SPDX-License-Identifier: MIT
// Shared helpers for tests that drive libvontrel.so over the simulated bench.
#ifndef VONTREL_TESTS_WIRE_SIM_FIXTURE_H
#define VONTREL_TESTS_WIRE_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.h"

using Bytes = std::array<std::uint8_t, 8>;

inline std::vector<vsim_call> SimLog()
{
    std::vector<vsim_call> log(vsim_log_size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        vsim_log_entry(i, &log[i]);
    }
    return log;
}

// The frames written, in order.
inline std::vector<Bytes> FramesSent()
{
    std::vector<Bytes> frames;
    for (const vsim_call &c : SimLog()) {
        if (std::string(c.function) == "FT_Write") {
            Bytes b{};
            std::copy(c.bytes, c.bytes + 8, b.begin());
            frames.push_back(b);
        }
    }
    return frames;
}

inline std::vector<std::string> FunctionsCalled()
{
    std::vector<std::string> names;
    for (const vsim_call &c : SimLog()) {
        names.emplace_back(c.function);
    }
    return names;
}

inline void *AsHandle(int token)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
}

// A bench with one unit (serial 0x1234) open; the log starts after the open.
class OneUnit : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        unit_ = vsim_add_unit("Vontrel", 0x1234);
        unsigned long status = 1;
        int found = 0;
        int handles[1] = {0};
        int serials[1] = {0};
        ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
        ASSERT_EQ(found, 1);
        handle_ = AsHandle(handles[0]);
        vsim_clear_log();
    }
    void TearDown() override
    {
        Vontrel_Close(handle_);
        vsim_clear_faults();
        EXPECT_EQ(vsim_closed_handle_calls(), 0) << "a D2XX call reached a closed handle";
    }

    // After a failure the unit may owe a reply that never comes (a short
    // read in the simulator loses the rest of its reply), which its next
    // calls would wait for: the unit is opened afresh instead, so that the
    // next fault armed hits the exchange it is meant for. The log starts
    // again after it.
    void BackInStep()
    {
        Vontrel_Close(handle_);
        vsim_clear_faults();
        unsigned long status = 1;
        int found = 0;
        int handles[1] = {0};
        int serials[1] = {0};
        ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
        ASSERT_EQ(status, FT_OK);
        handle_ = AsHandle(handles[0]);
        vsim_clear_log();
    }

    int unit_ = 0;
    void *handle_ = nullptr;
};

#endif
