// SPDX-License-Identifier: MIT
// The serial D2XX library's enumeration walk: count, list by index, open by
// index, with ports plugged in meanwhile. The ports are pseudo-terminals
// named through VONTREL_SERIAL_PORTS.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/ftd2xx.h"
#include "d2xx/serial/ports.h"
#include "d2xx/serial/serial_d2xx.h"

namespace {

struct Pty {
    int master = -1;
    std::string path;
};

Pty OpenPty()
{
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (p.master >= 0 && grantpt(p.master) == 0 && unlockpt(p.master) == 0 &&
        ptsname_r(p.master, name, sizeof name) == 0) {
        p.path = name;
    }
    return p;
}

void Name(const std::vector<std::string> &entries)
{
    std::string value;
    for (const std::string &e : entries) {
        value += (value.empty() ? "" : ",") + e;
    }
    setenv(vserial::kPortsVariable, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
}

DWORD Count()
{
    DWORD n = 0;
    EXPECT_EQ(FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    return n;
}

std::string Description(std::uintptr_t index)
{
    char text[vserial::kListTextSize] = {};
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(index), text,
                             FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
              FT_OK);
    return text;
}

class Walk : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (Pty &p : ptys_) {
            p = OpenPty();
            ASSERT_FALSE(p.path.empty());
        }
    }
    void TearDown() override
    {
        unsetenv(vserial::kPortsVariable);  // NOLINT(concurrency-mt-unsafe)
        for (const Pty &p : ptys_) {
            close(p.master);
        }
    }
    // Entry PATH=NAME for pty i.
    std::string Entry(int i, const std::string &name) const { return ptys_[i].path + "=" + name; }

    Pty ptys_[3];
};

TEST_F(Walk, OneWalkSeesTheListItsCountTookWhateverIsPluggedMeanwhile)
{
    Name({Entry(0, "unit A"), Entry(1, "unit B")});
    ASSERT_EQ(Count(), 2U);

    // A port is plugged in ahead of them, and another thread lists anew.
    Name({Entry(2, "plugged in"), Entry(0, "unit A"), Entry(1, "unit B")});
    std::thread other([] { EXPECT_EQ(Count(), 3U); });
    other.join();

    // This thread's walk goes on over the list its count took: index 1 is
    // still unit B, and opening index 1 opens unit B's port.
    EXPECT_EQ(Description(0), "unit A");
    EXPECT_EQ(Description(1), "unit B");
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(1, &handle), FT_OK);
    const char frame[] = "12345678";
    DWORD written = 0;
    ASSERT_EQ(FT_Write(handle, const_cast<char *>(frame), 8, &written), FT_OK);
    char got[8] = {};
    pollfd ready{ptys_[1].master, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1) << "FT_Open(1) opened another port";
    ASSERT_EQ(read(ptys_[1].master, got, sizeof got), 8) << "FT_Open(1) opened another port";
    EXPECT_EQ(FT_Close(handle), FT_OK);

    // Its next count sees the new list.
    EXPECT_EQ(Count(), 3U);
    EXPECT_EQ(Description(0), "plugged in");
    EXPECT_EQ(Description(2), "unit B");
}

TEST_F(Walk, AThreadThatNeverCountedListsOnceAndKeepsThatList)
{
    Name({Entry(0, "first")});
    std::thread walker([this] {
        EXPECT_EQ(Description(0), "first");
        Name({Entry(1, "second"), Entry(0, "first")});
        EXPECT_EQ(Description(0), "first");
        char text[vserial::kListTextSize] = {};
        EXPECT_EQ(FT_ListDevices(reinterpret_cast<void *>(std::uintptr_t{1}), text,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
                  FT_DEVICE_NOT_FOUND);
    });
    walker.join();
}

// A port opened through its tty is no mains switch: the kernel's driver
// cannot bit-bang, and the library says where switches come from.
TEST_F(Walk, APortOpenedThroughItsTtyDoesNotBitBang)
{
    Name({Entry(0, "Mains Switch")});
    ASSERT_EQ(Count(), 1U);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(FT_Open(0, &handle), FT_OK);
    UCHAR lines = 0x99;
    EXPECT_EQ(FT_GetBitMode(handle, &lines), FT_NOT_SUPPORTED);
    EXPECT_EQ(lines, 0x99);
    EXPECT_NE(std::string(vontrel_serial_last_error()).find("Mains Switch"), std::string::npos)
        << vontrel_serial_last_error();
    EXPECT_EQ(FT_SetBitMode(handle, 0xFF, FT_BITMODE_ASYNC_BITBANG), FT_NOT_SUPPORTED);
    EXPECT_EQ(FT_Close(handle), FT_OK);
    EXPECT_EQ(FT_GetBitMode(handle, &lines), FT_INVALID_HANDLE);
    // Built with libftdi1 it drives switches; without, it says what is missing.
    const std::string support = vontrel_serial_bitbang_support();
    EXPECT_TRUE(support.empty() || support.find("libftdi1") != std::string::npos) << support;
}

}  // namespace
