// SPDX-License-Identifier: MIT
// vontrel::Unit over the simulated bench: what it programs and reads, and
// that every path gives its handle back.
#include <gtest/gtest.h>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.hpp"

namespace {

class Bench : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        first_ = vsim_add_unit("Vontrel", 4660);
        vsim_add_converter("USB <-> Serial Cable");
        second_ = vsim_add_unit("Vontrel", 12345);
    }
    void TearDown() override
    {
        vsim_clear_faults();
        EXPECT_EQ(vsim_open_handles(), 0) << "a handle was left open";
    }
    int first_ = 0;
    int second_ = 0;
};

TEST_F(Bench, OpenAllReportsIndicesAndSerials)
{
    const auto units = vontrel::open_all();
    ASSERT_EQ(units.size(), 2U);
    EXPECT_EQ(units[0].index(), 0);
    EXPECT_EQ(units[0].serial(), 4660);
    EXPECT_EQ(units[1].index(), 2);
    EXPECT_EQ(units[1].serial(), 12345);
    EXPECT_EQ(vsim_open_handles(), 2);
}

TEST_F(Bench, OpenAllTakesUpToTheMaximumOfConverters)
{
    for (int i = 3; i < VONTREL_MAX_CONVERTERS + 2; ++i) {
        vsim_add_unit("Vontrel", static_cast<std::uint16_t>(i));
    }
    const auto units = vontrel::open_all();
    EXPECT_EQ(units.size(), static_cast<std::size_t>(VONTREL_MAX_CONVERTERS - 1));
    EXPECT_EQ(units.back().index(), VONTREL_MAX_CONVERTERS - 1);
}

TEST_F(Bench, InfoMatchesTheIdentityBlock)
{
    vsim_set_memory(second_, 2, 5);
    vsim_set_memory(second_, 3, 2);
    vsim_set_memory(second_, 7, 2);
    const auto units = vontrel::open_all();
    const vontrel::Info info = units[1].info();
    EXPECT_EQ(info.serial, 12345);
    EXPECT_EQ(info.firmware, "2.5");
    EXPECT_EQ(info.hardware_revision, 'C');
    EXPECT_FALSE(info.calibration_date.empty());
    EXPECT_NE(info.if_band.find("MHz"), std::string::npos);
}

TEST_F(Bench, ApplyThenStatusReadsTheSettingsBack)
{
    auto units = vontrel::open_all();
    vontrel::Unit &unit = units[0];
    EXPECT_FALSE(unit.locked());

    vontrel::Status s = unit.status();
    EXPECT_EQ(s.frequency_mhz, 1000.0);  // power-up image
    s.frequency_mhz = 2455.0;
    s.attenuation = 10.0;
    s.mode = vontrel::Mode::kMode1;
    s.output_switch = vontrel::Switch::kPosition3;
    s.flag_a = true;
    s.flag_b = true;
    s.flag_c = true;
    s.stored_setting = 77;
    s.auto_trim = false;
    s.trim_a = 12;
    s.trim_b = 34;
    unit.apply(s);

    const vontrel::Status back = unit.status();
    const int level_reference = vsim_get_memory(first_, 463 + 86);  // table C at 2455 MHz
    EXPECT_EQ(back.level, 0.25 * (level_reference - 40));
    s.level = back.level;  // outside mode 3 the level follows from the attenuation
    EXPECT_EQ(static_cast<const vontrel::Settings &>(back),
              static_cast<const vontrel::Settings &>(s));
    EXPECT_TRUE(unit.locked());
    EXPECT_EQ(vsim_get_memory(first_, 45), 77);

    // Auto trim takes the trims from the tables, and the read-back says so.
    s.auto_trim = true;
    unit.apply(s);
    const vontrel::Status followed = unit.status();
    EXPECT_TRUE(followed.auto_trim);
    EXPECT_NE(followed.trim_a, 12);
}

TEST_F(Bench, PresetRestoresTheSavedSettings)
{
    auto units = vontrel::open_all();
    vontrel::Unit &unit = units[1];
    vontrel::Status s = unit.status();
    s.frequency_mhz = 1400.0;
    unit.apply(s);
    unit.save_user_preset();
    s.frequency_mhz = 3000.0;
    unit.apply(s);
    unit.preset();
    EXPECT_EQ(unit.status().frequency_mhz, 1400.0);
}

TEST_F(Bench, MovesTransferOwnershipAndAssignmentClosesTheOld)
{
    auto units = vontrel::open_all();
    ASSERT_EQ(vsim_open_handles(), 2);
    {
        vontrel::Unit a = std::move(units[0]);
        EXPECT_FALSE(units[0].is_open());
        EXPECT_EQ(vsim_open_handles(), 2);
        a = std::move(units[1]);  // closes the first unit's handle
        EXPECT_EQ(vsim_open_handles(), 1);
        EXPECT_EQ(a.serial(), 12345);
        vontrel::Unit &same = a;  // a self-move through another name
        a = std::move(same);      // keeps the handle
        EXPECT_TRUE(a.is_open());
    }
    EXPECT_EQ(vsim_open_handles(), 0);
}

TEST_F(Bench, HandleReleasedWhenACallThrows)
{
    {
        auto units = vontrel::open_all();
        vsim_unplug(first_);
        EXPECT_THROW((void)units[0].status(), std::system_error);
    }
    vsim_plug(first_);
}

TEST_F(Bench, ExplicitCloseReportsAndReleases)
{
    auto units = vontrel::open_all();
    units[0].close();
    EXPECT_FALSE(units[0].is_open());
    EXPECT_EQ(vsim_open_handles(), 1);
    EXPECT_NO_THROW(units[0].close());  // nothing left to close

    vsim_fail_call_after("FT_Close", 1, FT_IO_ERROR);
    try {
        units[1].close();
        ADD_FAILURE() << "close did not report the failure";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), 4);
    }
    EXPECT_FALSE(units[1].is_open());
}

TEST_F(Bench, DiscoveryWhenAUnitFailsToOpen)
{
    struct Case {
        const char *function;
        long nth;
        std::size_t opened;
        unsigned long last_status;
    };
    const Case cases[] = {
        {"FT_Open", 1, 1, 0},  // the second unit's success is the last status
        {"FT_Open", 2, 1, 3},  // the last unit fails: its status is the last one
        {"FT_Read", 1, 1, 0},  // serial read of the first unit fails, it is closed
        {"FT_SetBaudRate", 2, 1, 7},
    };
    for (const Case &c : cases) {
        vsim_fail_call(c.function, c.nth,
                       static_cast<FT_STATUS>(c.last_status ? c.last_status : 3));
        {
            vontrel::Discovery found = vontrel::discover();
            EXPECT_EQ(found.matched, 2) << c.function << " " << c.nth;
            EXPECT_EQ(found.units.size(), c.opened) << c.function << " " << c.nth;
            EXPECT_EQ(found.status.value(), static_cast<int>(c.last_status))
                << c.function << " " << c.nth;
            EXPECT_EQ(vsim_open_handles(), static_cast<int>(c.opened));
        }
        vsim_clear_faults();
        EXPECT_EQ(vsim_open_handles(), 0);
    }
}

TEST_F(Bench, OpenAllThrowsWhenNoMatchedUnitOpens)
{
    vsim_fail_call("FT_Open", 1, FT_DEVICE_NOT_OPENED);
    vsim_fail_call("FT_Open", 2, FT_DEVICE_NOT_OPENED);
    try {
        (void)vontrel::open_all();
        ADD_FAILURE() << "open_all did not throw";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), 3);
    }
}

TEST(EmptyBench, NoConverterIsNoUnitAndNoError)
{
    vsim_clear();
    EXPECT_TRUE(vontrel::open_all().empty());
    vsim_add_converter("USB <-> Serial Cable");
    EXPECT_TRUE(vontrel::open_all().empty());
    vsim_fail_call("FT_ListDevices", 1, FT_IO_ERROR);
    EXPECT_THROW((void)vontrel::open_all(), std::system_error);
    vsim_clear_faults();
}

}  // namespace
