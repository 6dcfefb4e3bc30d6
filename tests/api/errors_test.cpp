// SPDX-License-Identifier: MIT
// D2XX status codes as std::error_code, and failures reported by each call.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.hpp"

namespace {

TEST(StatusCategory, MessagesNameTheStatus)
{
    struct Case {
        unsigned long status;
        const char *message;
    };
    const Case cases[] = {
        {4, "FT_IO_ERROR: input/output error on the link to the unit"},
        {1, "FT_INVALID_HANDLE: the handle is not an open unit"},
        {19, "FT_DEVICE_LIST_NOT_READY: device list not ready"},
        {20, "FT_UNKNOWN_STATUS: unknown status code"},
        {0xFFFFFFFFUL, "FT_UNKNOWN_STATUS: unknown status code"},
    };
    for (const Case &c : cases) {
        const std::error_code code = vontrel::make_status_code(c.status);
        EXPECT_EQ(code.message(), c.message);
        EXPECT_STREQ(code.category().name(), "vontrel.d2xx");
        EXPECT_TRUE(code);
    }
    EXPECT_FALSE(vontrel::make_status_code(0));
}

TEST(StatusCategory, EveryStatusHasAName)
{
    for (unsigned long s = 0; s <= 19; ++s) {
        EXPECT_EQ(vontrel::make_status_code(s).message().rfind("FT_", 0), 0U) << s;
        EXPECT_EQ(vontrel::make_status_code(s).message().find("UNKNOWN"), std::string::npos) << s;
    }
}

// The names of vontrel_status.h stand for the converter interface's codes,
// each row of the one table checked against d2xx/ftd2xx.h.
TEST(StatusCategory, NamedCodesAreTheConverterInterfacesCodes)
{
#define VONTREL_CHECK_ROW(code, name, message)                                   \
    EXPECT_EQ(static_cast<FT_STATUS>(VONTREL_##name), FT_STATUS{code}) << #name; \
    EXPECT_EQ(name, FT_STATUS{code}) << #name;                                   \
    EXPECT_STREQ(vontrel_status_name(VONTREL_##name), #name);
    VONTREL_STATUS_TABLE(VONTREL_CHECK_ROW)
#undef VONTREL_CHECK_ROW
}

// Each call fails when its LAST D2XX call fails: that is the status the
// export leaves, and the typed call must not swallow it.
class CallFailures : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        vsim_add_unit("Vontrel", 0x1234);
        units_ = vontrel::open_all();
        ASSERT_EQ(units_.size(), 1U);
    }
    void TearDown() override { vsim_clear_faults(); }
    std::vector<vontrel::Unit> units_;
};

TEST_F(CallFailures, AnyExchangeFailureThrowsWithItsStatus)
{
    vontrel::Unit &unit = units_[0];
    struct Case {
        const char *name;
        long reads;  // FT_Read calls the export makes; the first and the last fail
        std::function<void()> call;
    };
    const Case cases[] = {
        {"info", 10, [&] { (void)unit.info(); }},
        {"status", 13, [&] { (void)unit.status(); }},
        {"apply", 12, [&] { unit.apply(vontrel::Settings{}); }},
        {"locked", 1, [&] { (void)unit.locked(); }},
        {"preset", 1, [&] { unit.preset(); }},
        {"save_user_preset", 1, [&] { unit.save_user_preset(); }},
    };
    for (const Case &c : cases) {
        for (const long failing : {1L, c.reads}) {
            vsim_fail_call("FT_Read", failing, FT_IO_ERROR);
            try {
                c.call();
                ADD_FAILURE() << c.name << " did not throw for read " << failing;
            } catch (const std::system_error &e) {
                EXPECT_EQ(e.code(), vontrel::make_status_code(4)) << c.name;
                EXPECT_NE(std::string(e.what()).find("FT_IO_ERROR"), std::string::npos) << c.name;
            }
            vsim_clear_faults();
        }
        EXPECT_NO_THROW(c.call()) << c.name << " after the fault";
    }
}

TEST_F(CallFailures, LockedIsNotConfusedWithAFailedRead)
{
    vsim_fail_call("FT_Write", 1, FT_IO_ERROR);
    EXPECT_THROW((void)units_[0].locked(), std::system_error);
}

TEST_F(CallFailures, EmptyUnitIsAnInvalidHandle)
{
    vontrel::Unit moved = std::move(units_[0]);
    const vontrel::Unit &empty = units_[0];
    EXPECT_FALSE(empty.is_open());
    try {
        (void)empty.status();
        ADD_FAILURE() << "status on an empty unit";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), 1);
    }
    EXPECT_NO_THROW((void)moved.status());
}

}  // namespace
