// SPDX-License-Identifier: MIT
// The units file against the cases the Python package is checked against
// too, so that both read a file alike.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "service/level_units.h"
#include "service/output_state.h"
#include "service/units_file.h"

namespace {

using vontrel::service::OutputOff;
using vontrel::service::ParseUnitsFile;

nlohmann::json Cases(const char *kind = "cases")
{
    std::ifstream in(VONTREL_UNITS_FILE_CASES);
    std::stringstream text;
    text << in.rdbuf();
    return nlohmann::json::parse(text.str())[kind];
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
                EXPECT_EQ(std::string(e.what()).rfind(
                              "units.json: " + c["error"].get<std::string>() + ": ", 0),
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
                EXPECT_EQ(got.power->boot_s, want.value("boot_s", vontrel::service::kDefaultBootS));
            }
        }
    }
}

// Levels in dBm and what output off does, by the same cases as Python.
TEST(UnitsFile, LevelsInDbmAndOutputOffAsThePythonPackageHasThem)
{
    for (const auto &c : Cases("levels")) {
        const vontrel::service::LevelScale scale(c["offset_db"].get<double>());
        EXPECT_EQ(scale.Shown(c["level"].get<double>()), c["dbm"].get<double>()) << c;
    }
    for (const auto &c : Cases("taken")) {
        const vontrel::service::LevelScale scale(c["offset_db"].get<double>());
        EXPECT_EQ(scale.Level(c["dbm"].get<double>()), c["level"].get<double>()) << c;
    }
    EXPECT_EQ(vontrel::service::LevelScale().Shown(9.5), 9.5);
    for (const auto &c : Cases("output_off")) {
        const auto file =
            ParseUnitsFile(nlohmann::json{{"units", {{"1", c["entry"]}}}}.dump(), "units.json");
        EXPECT_EQ(
            vontrel::service::OutputOffName(vontrel::service::EffectiveOutputOff(file.For(1))),
            c["effective"].get<std::string>())
            << c;
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
    // Only a regular file is read: a FIFO nobody writes would never end,
    // a folder or a device is no units file.
    const std::string fifo = ::testing::TempDir() + "units_file_test.fifo";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, ::testing::TempDir(), std::string("/dev/zero")}) {
        EXPECT_THROW(vontrel::service::LoadUnitsFile(path), std::invalid_argument) << path;
    }
    ::unlink(fifo.c_str());
    ::setenv(vontrel::service::kUnitsFileVariable, "", 1);
    ::setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
    if (vontrel::service::DefaultUnitsFilePath().empty()) {
        EXPECT_TRUE(vontrel::service::LoadConfiguredUnitsFile().units.empty());
    }
}

}  // namespace
