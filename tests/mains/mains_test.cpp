// SPDX-License-Identifier: MIT
// libvontrel-mains against the simulated bench.
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/sim/vsim.h"
#include "include/vontrel_mains.h"
#include "include/vontrel_mains.hpp"

extern char **environ;

namespace {

constexpr unsigned long kOk = 0;
constexpr unsigned long kInvalidHandle = 1;
constexpr unsigned long kNotFound = 2;
constexpr unsigned long kNotOpened = 3;
constexpr unsigned long kIoError = 4;
constexpr unsigned long kInvalidParameter = 6;
constexpr unsigned long kNotSupported = 17;
constexpr unsigned long kOtherError = 18;
constexpr std::uint32_t kPowerUpWord0 = 0x5BD0F000;

std::vector<vsim_call> SimLog()
{
    std::vector<vsim_call> log(vsim_log_size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        vsim_log_entry(i, &log[i]);
    }
    return log;
}

// Waits up to 10 s for `done`; whether it came.
template <typename Done>
bool Eventually(Done &&done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Unit 4660 powered by outlet 2 of switch MS0001, a cable between them.
class Mains : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        unit_ = vsim_add_unit("Vontrel Synthesizer", 4660);
        vsim_add_converter("USB <-> Serial Cable");
        sw_ = vsim_add_mains_switch(VONTREL_MAINS_DEFAULT_DESCRIPTION, "MS0001");
        vsim_mains_power(sw_, 2, 4660);
        vsim_mains_set_unpowered(sw_, 0, 20);
    }

    static int Open(const char *description = nullptr, const char *serial = nullptr)
    {
        unsigned long status = 99;
        int handle = 0;
        EXPECT_EQ(VontrelMains_Open(&status, description, serial, &handle), 0);
        EXPECT_EQ(status, kOk);
        return handle;
    }

    static unsigned long Set(int handle, int outlet, bool on)
    {
        unsigned long status = 99;
        const int r = VontrelMains_SetOutlet(&status, handle, outlet, on ? 1 : 0);
        EXPECT_EQ(r == 0, status == kOk) << "result and status disagree";
        return status;
    }

    // One exchange with the unit (a read of register 0) on its own handle:
    // the bytes of the reply that came within 50 ms.
    static DWORD Exchange(FT_HANDLE unit)
    {
        unsigned char frame[8] = {0x00, 0x21, 0x0B, 0, 0, 0, 0, 0x40};
        unsigned char reply[8] = {};
        DWORD n = 0;
        if (FT_Write(unit, frame, 8, &n) != FT_OK) {
            return 0;
        }
        FT_Read(unit, reply, 8, &n);
        return n;
    }

    int unit_ = -1;
    int sw_ = -1;
};

TEST_F(Mains, EveryOutletSwitchesAloneAndReadsBack)
{
    const int h = Open();
    for (const unsigned start : {0xFFu, 0x00u}) {
        vsim_mains_set_lines(sw_, static_cast<std::uint8_t>(start));
        for (int outlet = 1; outlet <= VONTREL_MAINS_OUTLETS; ++outlet) {
            const unsigned bit = 1u << (outlet - 1);
            for (const bool on : {start == 0, start != 0}) {
                SCOPED_TRACE(testing::Message() << "outlet " << outlet << (on ? " on" : " off"));
                ASSERT_EQ(Set(h, outlet, on), kOk);
                const unsigned expected = on ? start | bit : start & ~bit;
                EXPECT_EQ(vsim_mains_lines(sw_), static_cast<int>(expected));
                unsigned long status = 99;
                int is_on = -1;
                EXPECT_EQ(VontrelMains_GetOutlet(&status, h, outlet, &is_on), 0);
                EXPECT_EQ(is_on, on ? 1 : 0);
                unsigned char lines = 0;
                EXPECT_EQ(VontrelMains_GetOutlets(&status, h, &lines), 0);
                EXPECT_EQ(lines, expected);
            }
        }
    }
    // Switching an outlet to what it is already writes nothing.
    vsim_clear_log();
    EXPECT_EQ(Set(h, 3, false), kOk);
    for (const vsim_call &c : SimLog()) {
        EXPECT_STRNE(c.function, "FT_Write");
    }
    EXPECT_EQ(VontrelMains_Close(h), 0);
}

TEST_F(Mains, OpeningKeepsTheOutletsAndClosingLeavesThem)
{
    // A switch fresh from power-up, then one left in bit-bang mode.
    for (const int lines : {0xA5, 0x00, 0xFF, 0x5A}) {
        SCOPED_TRACE(lines);
        vsim_mains_set_lines(sw_, static_cast<std::uint8_t>(lines));
        const long changes = vsim_mains_line_changes(sw_);
        vsim_clear_log();
        const int h = Open();
        EXPECT_EQ(vsim_mains_lines(sw_), lines);
        EXPECT_EQ(vsim_mains_line_changes(sw_), changes) << "a line changed while opening";
        EXPECT_EQ(vsim_mains_bitbang(sw_), 1);

        // The walk, then the open: read the lines, bit-bang on with every
        // line an output, the same byte written back.
        std::vector<vsim_call> log = SimLog();
        ASSERT_GE(log.size(), 5U);
        log.erase(log.begin(), log.end() - 5);
        EXPECT_STREQ(log[0].function, "FT_Open");
        EXPECT_STREQ(log[1].function, "FT_SetTimeouts");
        EXPECT_STREQ(log[2].function, "FT_GetBitMode");
        EXPECT_STREQ(log[3].function, "FT_SetBitMode");
        EXPECT_EQ(log[3].args[0], 0xFFu);
        EXPECT_EQ(log[3].args[1], FT_BITMODE_ASYNC_BITBANG);
        EXPECT_STREQ(log[4].function, "FT_Write");
        EXPECT_EQ(log[4].byte_count, 1u);
        EXPECT_EQ(log[4].bytes[0], lines);

        EXPECT_EQ(VontrelMains_Close(h), 0);
        EXPECT_EQ(vsim_mains_lines(sw_), lines);
        EXPECT_EQ(vsim_mains_bitbang(sw_), 1) << "closing left bit-bang mode";
        EXPECT_EQ(vsim_open_handles(), 0);
    }
}

TEST_F(Mains, ListsAndOpensByDescriptionAndSerial)
{
    const int second = vsim_add_mains_switch("Mains Switch 2", "MS0002");
    const int relay = vsim_add_mains_switch("Relay Box", "RB1");
    VontrelMainsSwitch found[4];
    std::memset(found, 0x55, sizeof found);
    unsigned long status = 99;
    int count = -1;
    ASSERT_EQ(VontrelMains_List(&status, nullptr, found, 4, &count), 0);
    EXPECT_EQ(status, kOk);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(found[0].index, sw_);
    EXPECT_STREQ(found[0].serial, "MS0001");
    EXPECT_EQ(found[1].index, second);
    EXPECT_STREQ(found[1].description, "Mains Switch 2");
    EXPECT_EQ(found[2].index, 0x55555555) << "an entry past the switches was written";

    // Fewer places than switches: the count says how many there are.
    VontrelMainsSwitch one[2];
    std::memset(one, 0x55, sizeof one);
    ASSERT_EQ(VontrelMains_List(&status, nullptr, one, 1, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(one[1].index, 0x55555555);
    ASSERT_EQ(VontrelMains_List(&status, nullptr, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(VontrelMains_List(&status, "Relay", found, 4, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(found[0].serial, "RB1");

    // By serial: the second switch, and only it, changes.
    const int h = Open(nullptr, "MS0002");
    ASSERT_EQ(Set(h, 1, false), kOk);
    EXPECT_EQ(vsim_mains_lines(second), 0xFE);
    EXPECT_EQ(vsim_mains_lines(sw_), 0xFF);
    EXPECT_EQ(VontrelMains_Close(h), 0);
    EXPECT_EQ(VontrelMains_Close(Open("Relay Box")), 0);
    EXPECT_EQ(vsim_mains_lines(relay), 0xFF);

    int handle = -7;
    EXPECT_EQ(VontrelMains_Open(&status, nullptr, "MS9999", &handle), -1);
    EXPECT_EQ(status, kNotFound);
    EXPECT_EQ(VontrelMains_Open(&status, "Nothing Like It", nullptr, &handle), -1);
    EXPECT_EQ(status, kNotFound);
    // A unit's converter is no switch: the simulator does not bit-bang it.
    EXPECT_EQ(VontrelMains_Open(&status, "Vontrel", nullptr, &handle), -1);
    EXPECT_EQ(status, kNotSupported);
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(vsim_open_handles(), 0);

    // The C++ layer over the same.
    const std::vector<vontrel::mains::SwitchInfo> listed = vontrel::mains::list();
    ASSERT_EQ(listed.size(), 2U);
    EXPECT_EQ(listed[1].serial, "MS0002");
    vontrel::mains::Switch sw = vontrel::mains::open("", "MS0001");
    sw.set(8, false);
    EXPECT_FALSE(sw.get(8));
    EXPECT_EQ(sw.outlets().to_ulong(), 0x7Fu);
    EXPECT_THROW(sw.set(9, true), std::invalid_argument);
    try {
        vontrel::mains::open("", "MS0001");  // this process holds it
        ADD_FAILURE() << "opened a switch twice";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), static_cast<int>(kNotOpened));
        EXPECT_NE(std::string(e.what()).find("FT_DEVICE_NOT_OPENED"), std::string::npos);
    }
}

TEST_F(Mains, RefusesBadArgumentsWithoutAD2xxCall)
{
    const int h = Open();
    const long calls = vsim_call_count();
    unsigned long status = 99;
    int on = 0;
    unsigned char lines = 0;
    int handle = -7;
    int count = -7;
    VontrelMainsSwitch entry{};
    EXPECT_EQ(VontrelMains_List(nullptr, nullptr, &entry, 1, &count), -1);
    EXPECT_EQ(VontrelMains_Open(nullptr, nullptr, nullptr, &handle), -1);
    EXPECT_EQ(VontrelMains_SetOutlet(nullptr, h, 1, 0), -1);
    EXPECT_EQ(VontrelMains_GetOutlet(nullptr, h, 1, &on), -1);
    EXPECT_EQ(VontrelMains_GetOutlets(nullptr, h, &lines), -1);

    const std::string too_long(VONTREL_MAINS_TEXT_SIZE, 'M');
    const auto refused = [&](int result) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(status, kInvalidParameter);
        status = 99;
    };
    refused(VontrelMains_Open(&status, nullptr, nullptr, nullptr));
    refused(VontrelMains_Open(&status, "", nullptr, &handle));
    refused(VontrelMains_Open(&status, too_long.c_str(), nullptr, &handle));
    refused(VontrelMains_List(&status, nullptr, &entry, 1, nullptr));
    refused(VontrelMains_List(&status, nullptr, &entry, -1, &count));
    refused(VontrelMains_List(&status, nullptr, nullptr, 1, &count));
    refused(VontrelMains_List(&status, "", &entry, 1, &count));
    for (const int outlet : {0, 9, -1, INT_MIN, INT_MAX}) {
        refused(VontrelMains_SetOutlet(&status, h, outlet, 0));
        refused(VontrelMains_GetOutlet(&status, h, outlet, &on));
    }
    refused(VontrelMains_GetOutlet(&status, h, 1, nullptr));
    refused(VontrelMains_GetOutlets(&status, h, nullptr));
    EXPECT_EQ(handle, -7);
    EXPECT_EQ(count, -7);

    for (const int bad : {0, -1, h + 1000, INT_MAX, INT_MIN}) {
        EXPECT_EQ(VontrelMains_SetOutlet(&status, bad, 1, 0), -1);
        EXPECT_EQ(status, kInvalidHandle);
        EXPECT_EQ(VontrelMains_GetOutlets(&status, bad, &lines), -1);
        EXPECT_EQ(status, kInvalidHandle);
        EXPECT_EQ(VontrelMains_Close(bad), static_cast<int>(kInvalidHandle));
    }
    EXPECT_EQ(vsim_call_count(), calls) << "a refused call reached the D2XX library";
    EXPECT_EQ(vsim_mains_lines(sw_), 0xFF);

    EXPECT_EQ(VontrelMains_Close(h), 0);
    EXPECT_EQ(VontrelMains_Close(h), static_cast<int>(kInvalidHandle));
    EXPECT_EQ(VontrelMains_SetOutlet(&status, h, 1, 0), -1);
    EXPECT_EQ(status, kInvalidHandle);
}

TEST_F(Mains, EachFailingD2xxCallIsReportedAndLeavesNothingOpen)
{
    vsim_mains_set_lines(sw_, 0x3C);
    const long changes = vsim_mains_line_changes(sw_);
    // The open: the count, a description read before the switch's (it
    // might have been the switch), and each step on the switch.
    struct Position {
        const char *function;
        long nth;
    };
    for (const Position p : {Position{"FT_ListDevices", 1},
                             {"FT_ListDevices", 2},
                             {"FT_ListDevices", 4},
                             {"FT_Open", 1},
                             {"FT_SetTimeouts", 1},
                             {"FT_GetBitMode", 1},
                             {"FT_SetBitMode", 1},
                             {"FT_Write", 1}}) {
        SCOPED_TRACE(testing::Message() << p.function << " #" << p.nth);
        vsim_clear_faults();
        vsim_fail_call(p.function, p.nth, kOtherError);
        unsigned long status = 99;
        int handle = -7;
        EXPECT_EQ(VontrelMains_Open(&status, nullptr, nullptr, &handle), -1);
        EXPECT_EQ(status, kOtherError);
        EXPECT_EQ(handle, -7);
        EXPECT_EQ(vsim_open_handles(), 0);
        EXPECT_EQ(vsim_mains_lines(sw_), 0x3C);
    }
    vsim_clear_faults();
    vsim_short_write(1, 0);  // the byte does not go out: the open fails
    unsigned long status = 99;
    int handle = -7;
    EXPECT_EQ(VontrelMains_Open(&status, nullptr, nullptr, &handle), -1);
    EXPECT_EQ(status, kIoError);
    EXPECT_EQ(vsim_open_handles(), 0);
    EXPECT_EQ(vsim_mains_line_changes(sw_), changes);
    vsim_clear_faults();

    // Switching and reading an outlet on an open switch.
    const int h = Open();
    vsim_fail_call("FT_GetBitMode", 1, kOtherError);
    EXPECT_EQ(Set(h, 3, false), kOtherError);
    vsim_fail_call("FT_Write", 1, kOtherError);
    EXPECT_EQ(Set(h, 3, false), kOtherError);
    EXPECT_EQ(vsim_mains_lines(sw_), 0x3C) << "a write that failed before it went out";
    vsim_short_write(1, 0);
    EXPECT_EQ(Set(h, 3, false), kIoError);
    // A write that went out and then reported a failure is a failure: the
    // caller reads the outlet to know.
    vsim_fail_call_after("FT_Write", 1, kOtherError);
    EXPECT_EQ(Set(h, 3, false), kOtherError);
    EXPECT_EQ(vsim_mains_lines(sw_), 0x38);
    int on = -1;
    unsigned char lines = 0x99;
    vsim_fail_call("FT_GetBitMode", 1, kOtherError);
    EXPECT_EQ(VontrelMains_GetOutlet(&status, h, 4, &on), -1);
    EXPECT_EQ(status, kOtherError);
    EXPECT_EQ(on, -1);
    vsim_fail_call("FT_GetBitMode", 1, kOtherError);
    EXPECT_EQ(VontrelMains_GetOutlets(&status, h, &lines), -1);
    EXPECT_EQ(lines, 0x99);

    // A switch unplugged, then closed with a failure: the handle is gone.
    vsim_unplug(sw_);
    EXPECT_EQ(Set(h, 4, false), kIoError);
    vsim_plug(sw_);
    vsim_fail_call("FT_Close", 1, kOtherError);
    EXPECT_EQ(VontrelMains_Close(h), static_cast<int>(kOtherError));
    EXPECT_EQ(Set(h, 4, false), kInvalidHandle);
}

TEST_F(Mains, UnitsFollowTheirOutlet)
{
    FT_HANDLE unit = nullptr;
    ASSERT_EQ(FT_Open(0, &unit), FT_OK);
    ASSERT_EQ(FT_SetBaudRate(unit, 19230), FT_OK);
    ASSERT_EQ(FT_SetTimeouts(unit, 50, 50), FT_OK);
    EXPECT_EQ(Exchange(unit), 8u);
    vsim_set_register(unit_, 0, 0x12345600);

    const int h = Open();
    ASSERT_EQ(Set(h, 1, false), kOk);  // not the unit's outlet
    EXPECT_EQ(vsim_unit_power(unit_), VSIM_POWER_ON);
    ASSERT_EQ(Set(h, 2, false), kOk);
    EXPECT_EQ(vsim_unit_power(unit_), VSIM_POWER_OFF);
    EXPECT_EQ(Exchange(unit), 0u) << "a unit without power answered";
    EXPECT_EQ(vsim_get_register(unit_, 0), kPowerUpWord0) << "it kept its settings";
    ASSERT_EQ(Set(h, 2, true), kOk);
    EXPECT_TRUE(Eventually([&] { return vsim_unit_power(unit_) == VSIM_POWER_ON; }));
    EXPECT_EQ(Exchange(unit), 8u);
    FT_Close(unit);

    // A unit that leaves the bus with its power: its handle stays dead.
    vsim_mains_set_unpowered(sw_, 1, 20);
    ASSERT_EQ(FT_Open(0, &unit), FT_OK);
    DWORD count = 0;
    FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    EXPECT_EQ(count, 3u);
    ASSERT_EQ(Set(h, 2, false), kOk);
    FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    EXPECT_EQ(count, 2u);
    DWORD n = 0;
    unsigned char frame[8] = {0x00, 0x21, 0x0B, 0, 0, 0, 0, 0x40};
    EXPECT_EQ(FT_Write(unit, frame, 8, &n), FT_IO_ERROR);
    ASSERT_EQ(Set(h, 2, true), kOk);
    FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(FT_Write(unit, frame, 8, &n), FT_IO_ERROR) << "a handle from before came back";
    EXPECT_EQ(FT_Close(unit), FT_OK);
    EXPECT_EQ(VontrelMains_Close(h), 0);
}

// --- Two processes ---

std::string Self()
{
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

// Runs this program as a child in `mode` (see ChildMain) on the bench kept
// in `state`; its standard input and output are pipes.
struct Child {
    pid_t pid = -1;
    int in = -1;   // the child's standard input
    int out = -1;  // the child's standard output

    Child(const std::string &mode, const std::string &state)
    {
        int to[2];
        int from[2];
        EXPECT_EQ(pipe(to), 0);
        EXPECT_EQ(pipe(from), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from[1], 1);
        posix_spawn_file_actions_addclose(&actions, to[1]);
        posix_spawn_file_actions_addclose(&actions, from[0]);
        std::vector<std::string> env{"VONTREL_MAINS_TEST_CHILD=" + mode,
                                     "VONTREL_SIM_STATE=" + state};
        std::vector<char *> envp;
        for (std::string &e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        std::string self = Self();
        char *argv[] = {self.data(), nullptr};
        EXPECT_EQ(posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(to[0]);
        close(from[1]);
        in = to[1];
        out = from[0];
    }

    // The child's first line of output (up to 10 s).
    std::string Line() const
    {
        std::string line;
        char c = 0;
        pollfd p{out, POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && read(out, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Lets a holding child go and returns its exit status.
    int Wait()
    {
        close(in);
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(MainsProcesses, OneSwitchIsOpenInOneProcessAtATime)
{
    const std::string state = (std::filesystem::temp_directory_path() /
                               ("vontrel-mains-test-" + std::to_string(getpid()) + ".json"))
                                  .string();
    Child holder("hold", state);
    ASSERT_EQ(holder.Line(), "open");
    Child second("off1", state);
    EXPECT_EQ(second.Wait(), static_cast<int>(kNotOpened)) << "two processes held one switch";
    EXPECT_EQ(holder.Wait(), 0);
    Child third("off1", state);
    EXPECT_EQ(third.Wait(), 0);
    // What one process switched, the next one reads.
    Child reader("lines", state);
    EXPECT_EQ(reader.Line(), "254");
    EXPECT_EQ(reader.Wait(), 0);
    for (const char *suffix : {"", ".lock", ".conv3.lock"}) {
        std::filesystem::remove(state + suffix);
    }
}

// A child's part: exits with the status of what failed, 0 when all went well.
int ChildMain(const std::string &mode)
{
    unsigned long status = 0;
    int h = 0;
    if (VontrelMains_Open(&status, nullptr, nullptr, &h) != 0) {
        return static_cast<int>(status);
    }
    if (mode == "hold") {
        std::printf("open\n");
        std::fflush(stdout);
        char c = 0;
        while (read(0, &c, 1) > 0) {
        }
    } else if (mode == "off1") {
        VontrelMains_SetOutlet(&status, h, 1, 0);
    } else if (mode == "lines") {
        unsigned char lines = 0;
        VontrelMains_GetOutlets(&status, h, &lines);
        std::printf("%d\n", lines);
        std::fflush(stdout);
    }
    const int closed = VontrelMains_Close(h);
    return status != 0 ? static_cast<int>(status) : closed;
}

}  // namespace

int main(int argc, char **argv)
{
    if (const char *mode = std::getenv("VONTREL_MAINS_TEST_CHILD")) {
        return ChildMain(mode);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
