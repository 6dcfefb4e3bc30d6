// SPDX-License-Identifier: MIT
// Vontrel_Close while another thread is inside an export on the same unit:
// the export finishes on the open converter, the close waits for it and
// closes the converter once, a call that starts after the close began is
// refused without reaching the converter, and another unit never waits.
// The double holds the first thread inside FT_Read, so the order of events
// is fixed, not left to chance.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "include/vontrel.h"
#include "tests/double/d2xx_double.h"
#include "tests/seams/handle_table_seam.h"

namespace {

void *AsHandle(int token)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
}

// Polls until `ready` holds; false after ten seconds.
template <typename Ready>
bool WaitFor(Ready ready)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

std::size_t Count(const char *function)
{
    std::size_t n = 0;
    for (const DoubleCall &c : double_calls()) {
        n += c.function == function ? 1 : 0;
    }
    return n;
}

TEST(CloseRace, CloseWaitsForTheCallInFlightAndClosesOnce)
{
    double_reset({"Vontrel", "Vontrel"});
    unsigned long status = 99;
    int found = 0;
    int handles[2] = {};
    int serials[2] = {};
    ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
    ASSERT_EQ(found, 2);
    void *const busy = AsHandle(handles[0]);
    void *const other = AsHandle(handles[1]);
    const std::size_t before = double_calls().size();

    unsigned long read_status = 99;
    double values[VONTREL_READ_STATUS_ENTRIES] = {};
    int read_result = -9;
    int close_result = -9;
    std::jthread reader;
    std::jthread closer;
    struct Release {  // lets the threads finish even when an assertion fails
        ~Release() { double_hold_reads(-1); }
    } release;

    double_hold_reads(0);
    reader = std::jthread([&] { read_result = Vontrel_ReadStatus(&read_status, busy, values); });
    ASSERT_TRUE(WaitFor([] { return double_held_reads() == 1; }));
    closer = std::jthread([&] { close_result = Vontrel_Close(busy); });
    ASSERT_TRUE(WaitFor([&] { return vontrel::HandleTableSeam::IsClosing(handles[0]); }))
        << "the close did not wait for the call in flight";

    // Closing has begun and the read-back is in flight: a call that starts
    // now is refused and reaches nothing; the other unit goes on as usual.
    const std::size_t calls_now = double_calls().size();
    unsigned long late = 99;
    int ld = -9;
    EXPECT_EQ(Vontrel_ReadLD(&late, busy, &ld), -1);
    EXPECT_EQ(late, FT_INVALID_HANDLE);
    EXPECT_EQ(double_calls().size(), calls_now);
    EXPECT_EQ(Vontrel_ReadLD(&late, other, &ld), 0);
    EXPECT_EQ(late, FT_OK);
    EXPECT_EQ(Count("FT_Close"), 0U) << "the converter was closed under a call in flight";

    double_hold_reads(-1);
    reader.join();
    closer.join();
    EXPECT_EQ(read_result, 0);
    EXPECT_EQ(read_status, FT_OK) << "the read-back did not finish on an open converter";
    EXPECT_EQ(close_result, static_cast<int>(FT_OK));
    EXPECT_EQ(Count("FT_Close"), 1U);
    EXPECT_EQ(double_calls().back().function, "FT_Close");
    EXPECT_EQ(double_calls().size(), before + 26 + 2 + 1)  // read-back, other unit, close
        << "calls were lost or added";
    EXPECT_EQ(double_closed_handle_calls(), 0);
    EXPECT_EQ(Vontrel_Close(busy), static_cast<int>(FT_INVALID_HANDLE));
    EXPECT_EQ(Vontrel_Close(other), static_cast<int>(FT_OK));
    EXPECT_EQ(double_open_handles(), 0);
}

}  // namespace
