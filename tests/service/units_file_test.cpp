// SPDX-License-Identifier: MIT
// The units file against the cases the Python package is checked against
// too, so that both read a file alike.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "service/units_file.h"

namespace {

using vontrel::service::OutputOff;
using vontrel::service::ParseUnitsFile;

nlohmann::json Cases()
{
    std::ifstream in(VONTREL_UNITS_FILE_CASES);
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str())["cases"];
}

TEST(UnitsFile, ReadsWhatTheCasesSayAndRefusesWithThePlace)
{
    for (const auto &c : Cases()) {
        const std::string text = c["text"];
        SCOPED_TRACE(text);
        if (c.contains("error")) {
            try {
                ParseUnitsFile(text, "units.json");
                ADD_FAILURE() << "taken";
            } catch (const std::invalid_argument &e) {
                EXPECT_EQ(std::string(e.what()).rfind("units.json: " +
                                                          c["error"].get<std::string>() + ": ",
                                                      0),
                          0U)
                    << e.what();
            }
            continue;
        }
        const auto file = ParseUnitsFile(text, "units.json");
        EXPECT_EQ(file.units.size(), c["units"].size());
        for (const auto &[serial, want] : c["units"].items()) {
            const auto &got = file.For(std::stoi(serial));
            EXPECT_EQ(got.level_offset_db.has_value(), want.contains("level_offset_db"));
            if (want.contains("level_offset_db")) {
                EXPECT_EQ(*got.level_offset_db, want["level_offset_db"].get<double>());
            }
            EXPECT_EQ(got.output_off.has_value(), want.contains("output_off"));
            if (got.output_off) {
                EXPECT_EQ(vontrel::service::OutputOffName(*got.output_off),
                          want["output_off"].get<std::string>());
            }
            EXPECT_EQ(got.power.has_value(), want.contains("outlet"));
            if (got.power) {
                EXPECT_EQ(got.power->switch_serial, want["switch"].get<std::string>());
                EXPECT_EQ(got.power->outlet, want["outlet"].get<int>());
            }
        }
    }
}

TEST(UnitsFile, AUnitTheFileDoesNotNameHasNothingSet)
{
    const auto file = ParseUnitsFile(R"({"units": {"1": {"output_off": "mute"}}})", "f");
    EXPECT_FALSE(file.For(2).output_off.has_value());
    EXPECT_EQ(file.For(1).output_off, OutputOff::kMute);
}

TEST(UnitsFile, ANamedFileThatIsMissingIsAnErrorAndNoFileIsNone)
{
    EXPECT_THROW(vontrel::service::LoadConfiguredUnitsFile("/nonexistent/units.json"),
                 std::runtime_error);
    ::setenv(vontrel::service::kUnitsFileVariable, "", 1);
    ::setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
    if (vontrel::service::DefaultUnitsFilePath().empty()) {
        EXPECT_TRUE(vontrel::service::LoadConfiguredUnitsFile().units.empty());
    }
}

}  // namespace
