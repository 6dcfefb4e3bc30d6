// SPDX-License-Identifier: MIT
// Vontrel_ReadInfo, Vontrel_ReadLD, Vontrel_Preset and Vontrel_SaveUserPreset
// over the simulated bench.
#include <cstring>
#include <functional>

#include "tests/wire/sim_fixture.h"

namespace {

Bytes MemoryRead(int address)
{
    return {0x00,
            0x21,
            0x0D,
            static_cast<std::uint8_t>(address),
            static_cast<std::uint8_t>(address >> 8),
            0x00,
            0x00,
            0x40};
}

struct Info {
    int result = 0;
    int sn = -7;
    // Guard bytes around each text catch any write past its documented size.
    char frev[VONTREL_FREV_SIZE + 4];
    char hrev[VONTREL_HREV_SIZE + 4];
    char caldate[VONTREL_CALDATE_SIZE + 4];
    char ifband[VONTREL_IFBAND_SIZE + 4];
    Info()
    {
        std::memset(frev, '#', sizeof frev);
        std::memset(hrev, '#', sizeof hrev);
        std::memset(caldate, '#', sizeof caldate);
        std::memset(ifband, '#', sizeof ifband);
    }
    bool GuardsIntact() const
    {
        auto intact = [](const char *p, std::size_t size) {
            for (std::size_t i = size; i < size + 4; ++i) {
                if (p[i] != '#') {
                    return false;
                }
            }
            return true;
        };
        return intact(frev, VONTREL_FREV_SIZE) && intact(hrev, VONTREL_HREV_SIZE) &&
               intact(caldate, VONTREL_CALDATE_SIZE) && intact(ifband, VONTREL_IFBAND_SIZE);
    }
};

using Device = OneUnit;

Info ReadInfo(unsigned long *status, void *handle)
{
    Info info;
    info.result =
        Vontrel_ReadInfo(status, handle, &info.sn, info.frev, info.hrev, info.caldate, info.ifband);
    return info;
}

TEST_F(Device, IdentityTexts)
{
    struct Case {
        std::array<std::uint8_t, 10> bytes;
        int sn;
        const char *frev;
        char hrev;
        const char *caldate;
        const char *ifband;
    };
    const Case cases[] = {
        {{0x39, 0x30, 0x05, 0x02, 0x0C, 0x07, 0x0B, 0x02, 0x46, 0x8C},
         12345,
         "2.5",
         'C',
         "07/12/2011",
         "70 MHz - -116 MHz"},
        {{0xFF, 0xFF, 0x00, 0xFF, 0x01, 0x09, 0x05, 0x00, 0x00, 0x00},
         65535,
         "-1.0",
         'A',
         "09/01/2005",
         "0 MHz - 0 MHz"},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 25, 0x00, 0x00},
         0,
         "0.0",
         'Z',
         "00/00/2000",
         "0 MHz - 0 MHz"},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 200, 0x00, 0x00},
         0,
         "0.0",
         '\x09',
         "00/00/2000",
         "0 MHz - 0 MHz"},
        // The longest texts: every signed byte at -128 fills each buffer exactly.
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},
         32896,
         "-128.-128",
         'A' - 128,
         "-128/-128/20-128",
         "-128 MHz - -128 MHz"},
        {{0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F},
         32639,
         "127.127",
         '\xC0',
         "127/127/20127",
         "127 MHz - 127 MHz"},
    };
    for (const Case &c : cases) {
        for (int a = 0; a < 10; ++a) {
            vsim_set_memory(unit_, static_cast<std::uint16_t>(a), c.bytes[a]);
        }
        vsim_clear_log();
        unsigned long status = 99;
        const Info info = ReadInfo(&status, handle_);
        EXPECT_EQ(info.result, 0);
        EXPECT_EQ(status, FT_OK);
        EXPECT_EQ(info.sn, c.sn);
        EXPECT_STREQ(info.frev, c.frev);
        EXPECT_EQ(info.hrev[0], c.hrev) << c.frev;
        EXPECT_EQ(info.hrev[1], '#') << "hRev is one byte, not terminated";
        EXPECT_STREQ(info.caldate, c.caldate);
        EXPECT_STREQ(info.ifband, c.ifband);
        EXPECT_TRUE(info.GuardsIntact()) << c.frev;
        EXPECT_EQ(FramesSent(),
                  (std::vector<Bytes>{MemoryRead(0), MemoryRead(1), MemoryRead(3), MemoryRead(2),
                                      MemoryRead(7), MemoryRead(4), MemoryRead(5), MemoryRead(6),
                                      MemoryRead(8), MemoryRead(9)}));
    }
    EXPECT_EQ(std::strlen("-128.-128") + 1, std::size_t{VONTREL_FREV_SIZE});
    EXPECT_EQ(std::strlen("-128/-128/20-128") + 1, std::size_t{VONTREL_CALDATE_SIZE});
    EXPECT_EQ(std::strlen("-128 MHz - -128 MHz") + 1, std::size_t{VONTREL_IFBAND_SIZE});
}

TEST_F(Device, IdentityFailures)
{
    struct Case {
        const char *what;
        void (*arm)();
        int result;
        unsigned long status;
        std::size_t frames;
        bool written;
    };
    const Case cases[] = {
        {"byte 0 fails", [] { vsim_fail_call("FT_Read", 1, FT_IO_ERROR); }, -1, FT_IO_ERROR, 1,
         false},
        {"byte 0 short", [] { vsim_short_read(1, 2); }, -1, FT_IO_ERROR, 1, false},
        {"byte 1 fails", [] { vsim_fail_call("FT_Write", 2, FT_OTHER_ERROR); }, -2, FT_OTHER_ERROR,
         2, false},
        // Later reads are not tested: the field reads as 0, the reads go on,
        // and the first failure is what *status keeps.
        {"byte 3 fails", [] { vsim_fail_call("FT_Read", 3, FT_IO_ERROR); }, 0, FT_IO_ERROR, 10,
         true},
        {"byte 9 fails", [] { vsim_fail_call("FT_Read", 10, FT_IO_ERROR); }, 0, FT_IO_ERROR, 10,
         true},
    };
    for (int a = 0; a < 10; ++a) {
        vsim_set_memory(unit_, static_cast<std::uint16_t>(a), 0x05);
    }
    for (const Case &c : cases) {
        BackInStep();
        c.arm();
        unsigned long status = 99;
        const Info info = ReadInfo(&status, handle_);
        EXPECT_EQ(info.result, c.result) << c.what;
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(FramesSent().size(), c.frames) << c.what;
        EXPECT_EQ(info.sn != -7, c.written) << c.what;
        EXPECT_EQ(info.frev[0] != '#', c.written) << c.what;
        EXPECT_EQ(info.hrev[0] != '#', c.written) << c.what;
        EXPECT_TRUE(info.GuardsIntact()) << c.what;
        vsim_clear_faults();
    }
    BackInStep();
    vsim_fail_call("FT_Read", 3, FT_IO_ERROR);
    unsigned long status = 99;
    const Info info = ReadInfo(&status, handle_);
    EXPECT_STREQ(info.frev, "0.5") << "a failed read of byte 3 counts as 0";
}

TEST_F(Device, LockDetectTakesByteSixOnly)
{
    struct Case {
        Bytes reply;
        int locked;
        bool echoed;  // carries the register 0 read-back's code back
    };
    const Case cases[] = {
        {{0x00, 0x23, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x24}, 0, true},
        {{0x00, 0x23, 0x0B, 0x00, 0x00, 0x00, 0x01, 0x24}, 1, true},
        {{0x00, 0x23, 0x0B, 0x00, 0x00, 0x00, 0x80, 0x24}, 1, true},
        {{0xFF, 0xFF, 0x0B, 0xFF, 0xFF, 0xFF, 0x00, 0xFF}, 0, true},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF}, 0, false},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}, 1, false},
    };
    // A unit seen to echo at open has the code checked: a reply with
    // another is owed to another command and is refused. One that does not
    // echo has only byte 6 looked at.
    for (const bool echoes : {true, false}) {
        vsim_set_echo(unit_, echoes);
        BackInStep();
        for (const Case &c : cases) {
            const bool taken = c.echoed || !echoes;
            vsim_clear_log();
            vsim_replace_response(1, c.reply.data());
            unsigned long status = 99;
            int ld = -7;
            EXPECT_EQ(Vontrel_ReadLD(&status, handle_, &ld), 0);
            EXPECT_EQ(status, taken ? FT_OK : FT_IO_ERROR) << echoes;
            EXPECT_EQ(ld, taken ? c.locked : 0) << echoes;
            EXPECT_EQ(FramesSent(), (std::vector<Bytes>{{0x00, 0x21, 0x0B, 0, 0, 0, 0, 0x40}}));
            BackInStep();
        }
    }
}

TEST_F(Device, LockDetectAfterAFailedExchangeIsNotLocked)
{
    vsim_set_register(unit_, 0, 0);
    Vontrel_Preset(nullptr, handle_);  // no status: nothing is sent
    EXPECT_EQ(vsim_log_size(), 0u);
    unsigned long status = 0;
    Vontrel_Preset(&status, handle_);  // programs the power-up image: locked
    ASSERT_EQ(vsim_locked(unit_), 1);
    for (auto arm :
         {+[] { vsim_fail_call("FT_Read", 1, FT_IO_ERROR); },
          +[] { vsim_fail_call("FT_Write", 1, FT_IO_ERROR); }, +[] { vsim_short_read(1, 6); }}) {
        BackInStep();
        arm();
        int ld = -7;
        EXPECT_EQ(Vontrel_ReadLD(&status, handle_, &ld), 0);
        EXPECT_EQ(status, FT_IO_ERROR);
        EXPECT_EQ(ld, 0);
    }
}

TEST_F(Device, PresetFrames)
{
    struct Case {
        void (*call)(unsigned long *, void *);
        Bytes frame;
    };
    const Case cases[] = {{Vontrel_Preset, {0x00, 0x21, 0xFF, 0, 0, 0, 0, 0x40}},
                          {Vontrel_SaveUserPreset, {0x00, 0x21, 0x0E, 0, 0, 0, 0, 0x40}}};
    for (const Case &c : cases) {
        vsim_clear_log();
        unsigned long status = 99;
        c.call(&status, handle_);
        EXPECT_EQ(status, FT_OK);
        EXPECT_EQ(FramesSent(), std::vector<Bytes>{c.frame});
        EXPECT_EQ(FunctionsCalled(), (std::vector<std::string>{"FT_Write", "FT_Read"}));
        EXPECT_EQ(SimLog()[1].args[0], 8u);

        // After a failed write the read is still made, and the write's
        // failure is the one kept.
        vsim_clear_log();
        vsim_fail_call("FT_Write", 1, FT_IO_ERROR);
        c.call(&status, handle_);
        EXPECT_EQ(FunctionsCalled(), (std::vector<std::string>{"FT_Write", "FT_Read"}));
        EXPECT_EQ(status, FT_IO_ERROR);
        BackInStep();
        vsim_fail_call("FT_Read", 1, FT_OTHER_ERROR);
        c.call(&status, handle_);
        EXPECT_EQ(status, FT_OTHER_ERROR);
        EXPECT_EQ(FunctionsCalled(), (std::vector<std::string>{"FT_Write", "FT_Read"}));

        // A reply that does not come whole is a failure, though discarded.
        BackInStep();
        vsim_short_read(1, 4);
        c.call(&status, handle_);
        EXPECT_EQ(status, FT_IO_ERROR);
        BackInStep();
    }
}

TEST_F(Device, PresetRestoresTheUserPreset)
{
    unsigned long status = 0;
    vsim_set_register(unit_, 2, 0x90801EAA);
    Vontrel_SaveUserPreset(&status, handle_);
    vsim_set_register(unit_, 2, 0x12345678);
    Vontrel_Preset(&status, handle_);
    EXPECT_EQ(vsim_get_register(unit_, 2), 0x90801EAAu);
    EXPECT_EQ(vsim_locked(unit_), 1);
}

TEST_F(Device, NullPointersAndUnknownHandles)
{
    unsigned long status = 0;
    int sn = -7, ld = -7;
    char frev[VONTREL_FREV_SIZE], hrev[1], caldate[VONTREL_CALDATE_SIZE],
        ifband[VONTREL_IFBAND_SIZE];
    const struct {
        const char *what;
        int result;
    } nulls[] = {
        {"status", Vontrel_ReadInfo(nullptr, handle_, &sn, frev, hrev, caldate, ifband)},
        {"SN", Vontrel_ReadInfo(&status, handle_, nullptr, frev, hrev, caldate, ifband)},
        {"fRev", Vontrel_ReadInfo(&status, handle_, &sn, nullptr, hrev, caldate, ifband)},
        {"hRev", Vontrel_ReadInfo(&status, handle_, &sn, frev, nullptr, caldate, ifband)},
        {"calDate", Vontrel_ReadInfo(&status, handle_, &sn, frev, hrev, nullptr, ifband)},
        {"IFband", Vontrel_ReadInfo(&status, handle_, &sn, frev, hrev, caldate, nullptr)},
        {"ReadLD status", Vontrel_ReadLD(nullptr, handle_, &ld)},
        {"LDstatus", Vontrel_ReadLD(&status, handle_, nullptr)},
    };
    for (const auto &n : nulls) {
        EXPECT_EQ(n.result, -1) << n.what;
    }
    EXPECT_EQ(status, FT_INVALID_PARAMETER);
    EXPECT_EQ(sn, -7);
    EXPECT_EQ(ld, -7);
    Vontrel_SaveUserPreset(nullptr, handle_);
    EXPECT_EQ(vsim_log_size(), 0u);

    for (void *bad : {AsHandle(0), AsHandle(-1), AsHandle(999999), AsHandle(0x7FFFFFFF)}) {
        status = 0;
        EXPECT_EQ(Vontrel_ReadInfo(&status, bad, &sn, frev, hrev, caldate, ifband), -1);
        EXPECT_EQ(status, FT_INVALID_HANDLE);
        status = 0;
        EXPECT_EQ(Vontrel_ReadLD(&status, bad, &ld), -1);
        EXPECT_EQ(status, FT_INVALID_HANDLE);
        EXPECT_EQ(ld, 0);
        status = 0;
        Vontrel_Preset(&status, bad);
        EXPECT_EQ(status, FT_INVALID_HANDLE);
        status = 0;
        Vontrel_SaveUserPreset(&status, bad);
        EXPECT_EQ(status, FT_INVALID_HANDLE);
    }
    EXPECT_EQ(sn, -7);
    EXPECT_EQ(vsim_log_size(), 0u) << "an unknown handle reached the converter library";
}

}  // namespace

namespace {

// The exchange counts vontrel.h gives, against the frames each export sends.
TEST_F(OneUnit, ExchangeCountsAreTheDocumentedOnes)
{
    double plain[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 1000, 0, 10, 0, 5, 1, 0, 0, 0, 0};
    double auto_trim[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1};
    double values[VONTREL_READ_STATUS_ENTRIES];
    int sn = 0;
    int ld = 0;
    char frev[VONTREL_FREV_SIZE], hrev[VONTREL_HREV_SIZE], cal[VONTREL_CALDATE_SIZE],
        ifb[VONTREL_IFBAND_SIZE];
    unsigned long s = 0;
    const struct {
        const char *name;
        std::size_t exchanges;
        std::function<void()> call;
    } cases[] = {
        {"ReadInfo", VONTREL_EXCHANGES_READ_INFO,
         [&] { Vontrel_ReadInfo(&s, handle_, &sn, frev, hrev, cal, ifb); }},
        {"ReadLD", VONTREL_EXCHANGES_READ_LD, [&] { Vontrel_ReadLD(&s, handle_, &ld); }},
        {"Preset", VONTREL_EXCHANGES_PRESET, [&] { Vontrel_Preset(&s, handle_); }},
        {"SaveUserPreset", VONTREL_EXCHANGES_PRESET, [&] { Vontrel_SaveUserPreset(&s, handle_); }},
        {"ReadStatus", VONTREL_EXCHANGES_READ_STATUS,
         [&] { Vontrel_ReadStatus(&s, handle_, values); }},
        {"WriteStatus", VONTREL_EXCHANGES_WRITE_STATUS,
         [&] { Vontrel_WriteStatus(&s, handle_, plain); }},
        {"WriteStatus, auto trim", VONTREL_EXCHANGES_WRITE_STATUS_AUTO_TRIM,
         [&] { Vontrel_WriteStatus(&s, handle_, auto_trim); }},
    };
    for (const auto &c : cases) {
        vsim_clear_log();
        c.call();
        EXPECT_EQ(s, FT_OK) << c.name;
        EXPECT_EQ(FramesSent().size(), c.exchanges) << c.name;
    }
    vsim_clear_log();
    ASSERT_EQ(Vontrel_Close(handle_), 0);
    unsigned long status = 0;
    int found = 0;
    int handles[1] = {0};
    int serials[1] = {0};
    ASSERT_EQ(Vontrel_Open(&status, &found, handles, serials), 0);
    handle_ = AsHandle(handles[0]);
    EXPECT_EQ(FramesSent().size(), std::size_t{VONTREL_EXCHANGES_OPEN_PER_UNIT});
}

}  // namespace
