// SPDX-License-Identifier: MIT
// Why each converter that looks like a unit did not open, and what the
// server's unit owner says of a unit that stopped answering, over the
// simulated bench in process.
#include <gtest/gtest.h>

#include "d2xx/sim/vsim.h"
#include "include/vontrel_status.h"
#include "service/unit_causes.h"
#include "service/unit_owner.h"

namespace vontrel::service {
namespace {

TEST(UnitCauses, EachConverterHasItsOwnCauseAndNoneHidesAUnitThatWorks)
{
    vsim_clear();
    const int silent = vsim_add_unit("Vontrel", 1);
    vsim_add_converter("Vintage adapter");  // looks like a unit, never answers
    const int held = vsim_add_unit("Vontrel", 3);
    vsim_add_unit("Vontrel", 4);
    vsim_add_converter("USB Serial");  // not taken for a unit
    vsim_late_train(silent, 1, 600000, nullptr, 0);
    FT_HANDLE other = nullptr;
    ASSERT_EQ(FT_Open(held, &other), FT_OK);  // someone else has it

    Walk walk = WalkUnits();
    ASSERT_EQ(walk.units.size(), 1U);
    EXPECT_EQ(walk.units[0].serial(), 4);
    ASSERT_EQ(walk.unopened.size(), 3U);
    EXPECT_EQ(walk.unopened[0].index, 0);
    EXPECT_EQ(walk.unopened[0].cause, Cause::kNotAnswering);
    EXPECT_EQ(walk.unopened[0].Why(), "not answering");
    EXPECT_EQ(walk.unopened[1].cause, Cause::kNotAnswering);
    EXPECT_EQ(walk.unopened[1].description, "Vintage adapter");
    EXPECT_EQ(walk.unopened[2].cause, Cause::kHeld);
    EXPECT_NE(walk.unopened[2].Text().find("index 2 (Vontrel): in use by another program"),
              std::string::npos)
        << walk.unopened[2].Text();
    EXPECT_TRUE(walk.AnyHeldElsewhere());

    // A unit this process holds is its own, not another program's.
    walk.units.clear();
    const Walk mine = WalkUnits({2});
    ASSERT_EQ(mine.unopened.size(), 3U);
    EXPECT_EQ(mine.unopened[2].Why(), "open in this program already");
    EXPECT_FALSE(mine.AnyHeldElsewhere());
    FT_Close(other);
    vsim_clear_faults();
}

TEST(UnitCauses, AServedUnitThatStopsAnsweringIsSaidSoNeverInUse)
{
    vsim_clear();
    const int unit = vsim_add_unit("Vontrel", 77);
    std::vector<vontrel::Unit> units = vontrel::open_all();
    ASSERT_EQ(units.size(), 1U);
    UnitOwner owner(std::move(units[0]), [](const std::string &) {});
    vsim_late_train(unit, 1, 600000, nullptr, 0);  // it stops answering
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            UnitOwner::Access access(owner);
            access.Call([](vontrel::Unit &u) { return u.locked(); });
            ADD_FAILURE() << "a unit that does not answer answered";
        } catch (const std::system_error &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.find("in use"), std::string::npos) << attempt << ": " << what;
            if (attempt == 1) {
                EXPECT_NE(what.find("not answering"), std::string::npos) << what;
            }
        }
    }
    EXPECT_EQ(owner.WhyNotOpen(), "not answering");
    vsim_clear_faults();
}

}  // namespace
}  // namespace vontrel::service
