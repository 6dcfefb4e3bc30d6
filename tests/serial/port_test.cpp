// SPDX-License-Identifier: MIT
// One serial port over a real pseudo-terminal: how long poll is asked to
// wait, and what FT_ResetDevice (Port::Purge) leaves for the next read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "d2xx/serial/port.h"

namespace {

using std::chrono::milliseconds;
using Duration = std::chrono::steady_clock::duration;

TEST(PollTimeout, RoundsUpAndNeverOverflowsTheInt)
{
    struct Case {
        std::optional<Duration> left;
        int expected;
    };
    const Case cases[] = {
        {std::nullopt, -1},
        {-milliseconds(5), 0},
        {Duration::zero(), 0},
        {std::chrono::microseconds(1), 1},
        {std::chrono::microseconds(1500), 2},
        {milliseconds(2000), 2000},
        {milliseconds(INT_MAX), INT_MAX},
        // Past 2^31 ms the count does not fit an int: it used to wrap to a
        // negative number, which poll takes as "wait for ever".
        {milliseconds(1LL << 31), INT_MAX},
        {milliseconds(UINT32_MAX), INT_MAX},
        {std::chrono::hours(24 * 365 * 100), INT_MAX},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(vserial::PollTimeoutMs(c.left), c.expected)
            << (c.left ? std::chrono::duration_cast<milliseconds>(*c.left).count() : -1) << " ms";
    }
}

// A pseudo-terminal: the port opens its terminal end, the test plays the
// converter's far side on the master.
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        char name[128];
        ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
        // A second descriptor of the terminal end, which only looks at what
        // is buffered there.
        peer_ = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(peer_, 0);
        FT_STATUS status = FT_OTHER_ERROR;
        port_ = vserial::Port::Open(name, vserial::Latency::kDriverDefault, &status);
        ASSERT_EQ(status, FT_OK);
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override
    {
        port_.reset();
        if (peer_ >= 0) {
            close(peer_);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }

    void FarSends(const std::string &bytes) const
    {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the port's next read delivers within `timeout_ms`.
    std::string PortReads(DWORD count, ULONG timeout_ms) const
    {
        EXPECT_EQ(port_->SetTimeouts(timeout_ms, timeout_ms), FT_OK);
        std::array<std::uint8_t, 64> bytes{};
        DWORD received = 0;
        EXPECT_EQ(port_->Read(bytes.data(), count, &received), FT_OK);
        return std::string(bytes.begin(), bytes.begin() + received);
    }

    // Waits until the terminal end holds `count` bytes for its reader: what
    // the far side wrote has crossed the terminal.
    void UntilBuffered(int count) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int buffered = 0;
        while (ioctl(peer_, FIONREAD, &buffered) == 0 && buffered < count &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        ASSERT_GE(buffered, count) << "the bytes never reached the terminal's buffer";
    }

    int master_ = -1;
    int peer_ = -1;
    std::unique_ptr<vserial::Port> port_;
};

TEST_F(PtyPort, AReadTimeOutPastTheIntRangeStillWaitsForTheBytes)
{
    // 2^32 - 1 ms: the bytes that come later than any short wait are read.
    ASSERT_EQ(port_->SetTimeouts(UINT32_MAX, UINT32_MAX), FT_OK);
    std::thread far([this] {
        std::this_thread::sleep_for(milliseconds(100));
        FarSends("12345678");
    });
    std::array<std::uint8_t, 8> bytes{};
    DWORD received = 0;
    EXPECT_EQ(port_->Read(bytes.data(), bytes.size(), &received), FT_OK);
    far.join();
    EXPECT_EQ(received, bytes.size());
}

TEST_F(PtyPort, ResetDiscardsWhatWasBufferedAndDeliversWhatComesAfter)
{
    FarSends("stale reply");
    UntilBuffered(11);
    ASSERT_EQ(port_->Purge(), FT_OK);
    EXPECT_EQ(PortReads(8, 50), "") << "bytes buffered before the reset were read";

    // Bytes that arrive after the reset, all at once or a few at a time,
    // reach the next read as they come.
    FarSends("fresh");
    std::thread far([this] {
        std::this_thread::sleep_for(milliseconds(50));
        FarSends("!!!");
    });
    EXPECT_EQ(PortReads(8, 2000), "fresh!!!");
    far.join();

    // A reset with nothing buffered changes nothing.
    ASSERT_EQ(port_->Purge(), FT_OK);
    FarSends("next");
    EXPECT_EQ(PortReads(4, 2000), "next");
}

}  // namespace
