// SPDX-License-Identifier: MIT
// What the typed C++ API refuses before anything reaches a unit, the level
// policy, and the points of a sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>

#include "d2xx/sim/vsim.h"
#include "include/vontrel.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class Checks : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        vsim_add_unit("Vontrel", 4660);
        units_ = vontrel::open_all();
        ASSERT_EQ(units_.size(), 1U);
    }
    vontrel::Unit &unit() { return units_[0]; }
    std::vector<vontrel::Unit> units_;
};

TEST_F(Checks, BadValuesAreRefusedBeforeAnythingIsSent)
{
    const vontrel::Status start = unit().status();
    struct Case {
        const char *name;
        std::function<void(vontrel::Settings &)> change;
    };
    const Case cases[] = {
        {"NaN frequency", [](auto &s) { s.frequency_mhz = kNaN; }},
        {"infinite frequency", [](auto &s) { s.frequency_mhz = kInf; }},
        {"frequency below the range", [](auto &s) { s.frequency_mhz = 299.999; }},
        {"frequency above the range", [](auto &s) { s.frequency_mhz = 5000.001; }},
        {"attenuation off the step",
         [](auto &s) {
             s.mode = vontrel::Mode::kMode1;
             s.attenuation = 0.1;
         }},
        {"attenuation too large",
         [](auto &s) {
             s.mode = vontrel::Mode::kMode0;
             s.attenuation = 32.0;
         }},
        {"negative attenuation",
         [](auto &s) {
             s.mode = vontrel::Mode::kMode2;
             s.attenuation = -0.25;
         }},
        {"level beyond any unit",
         [](auto &s) {
             s.mode = vontrel::Mode::kMode3;
             s.level = 64.0;
         }},
        {"NaN level",
         [](auto &s) {
             s.mode = vontrel::Mode::kMode3;
             s.level = kNaN;
         }},
        {"infinite level where it is ignored",
         [](auto &s) {
             s.mode = vontrel::Mode::kMode0;
             s.level = -kInf;
         }},
        {"mode 4", [](auto &s) { s.mode = static_cast<vontrel::Mode>(4); }},
        {"switch 5", [](auto &s) { s.output_switch = static_cast<vontrel::Switch>(5); }},
    };
    for (const Case &c : cases) {
        vontrel::Settings s = start;
        c.change(s);
        const long calls = vsim_call_count();
        EXPECT_THROW(unit().apply(s), std::invalid_argument) << c.name;
        EXPECT_THROW((void)unit().apply(s, start), std::invalid_argument) << c.name;
        EXPECT_EQ(vsim_call_count(), calls) << c.name << " reached the unit";
    }
    for (const double timeout : {kNaN, kInf, -1.0, VONTREL_TIMEOUT_MAX_S + 1}) {
        const long calls = vsim_call_count();
        EXPECT_THROW((void)unit().wait_lock(timeout), std::invalid_argument) << timeout;
        EXPECT_EQ(vsim_call_count(), calls) << timeout;
    }
    // What is ignored in a mode is not checked there: a read-back level in
    // mode 1, an attenuation in mode 3.
    vontrel::Settings s = start;
    s.mode = vontrel::Mode::kMode1;
    s.level = 90.0;
    s.attenuation = 3.0;
    EXPECT_NO_THROW(unit().apply(s));
}

TEST_F(Checks, ALevelOutsideTheCalibratedRangeIsRefusedOrUndone)
{
    vontrel::Settings s = unit().status();
    s.mode = vontrel::Mode::kMode3;
    s.level = 0.0;
    unit().apply(s);
    const vontrel::Status here = unit().status();

    // At the frequency the unit is at, the range is known: nothing is sent.
    vontrel::Settings high = here;
    high.level = here.level_max + VONTREL_LEVEL_STEP;
    const long calls = vsim_call_count();
    try {
        (void)unit().apply(high, here);
        ADD_FAILURE() << "a level above the range was taken";
    } catch (const vontrel::LevelOutOfRange &e) {
        EXPECT_FALSE(e.restored());
        EXPECT_EQ(e.level_max(), here.level_max);
    }
    EXPECT_EQ(vsim_call_count(), calls);

    // At a new frequency it is known once programmed: undone again.
    vontrel::Settings there = here;
    there.frequency_mhz = 4000.0;
    there.level = VONTREL_LEVEL_MAX;
    try {
        unit().apply(there);
        ADD_FAILURE() << "an unreachable level was taken";
    } catch (const vontrel::LevelOutOfRange &e) {
        EXPECT_TRUE(e.restored());
    }
    EXPECT_EQ(unit().status(), here);

    // A level in range at a new frequency: the range comes back with it.
    there.level = here.level;
    there.frequency_mhz = 1200.0;
    const vontrel::Status after = unit().apply(there, here);
    EXPECT_FALSE(std::isnan(after.level_max));
    EXPECT_EQ(after.level_max, unit().status().level_max);
}

// The cases the Python package's test reads too.
double CaseNumber(const nlohmann::json &v)
{
    if (v.is_string()) {
        return v == "nan" ? std::numeric_limits<double>::quiet_NaN()
                          : std::numeric_limits<double>::infinity();
    }
    return v.get<double>();
}

TEST(SweepPoints, StepsAreCountedAndChecked)
{
    std::ifstream file(VONTREL_SWEEP_CASES);
    const auto cases = nlohmann::json::parse(file).at("cases");
    ASSERT_GE(cases.size(), 10u);
    for (const auto &c : cases) {
        const double start = CaseNumber(c.at("start"));
        const double stop = CaseNumber(c.at("stop"));
        const double step = CaseNumber(c.at("step"));
        if (c.value("refused", false)) {
            EXPECT_THROW((void)vontrel::sweep_points(start, stop, step), std::invalid_argument)
                << c;
        } else {
            EXPECT_EQ(vontrel::sweep_points(start, stop, step),
                      c.at("points").get<std::vector<double>>())
                << c;
        }
    }
}

}  // namespace
