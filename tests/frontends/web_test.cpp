// SPDX-License-Identifier: MIT
// The web front end's request checks and the change requests it builds
// SCPI lines from, in process.
#include <gtest/gtest.h>

#include <string>

#include "frontends/http/panel_state.h"
#include "frontends/http/security.h"
#include "frontends/net/text.h"

namespace vontrel::serve::web {
namespace {

TEST(WebGuard, HostHeaderMustNameThisServer)
{
    const Guard guard("192.0.2.7", false, "token");
    struct Case {
        const char *host;
        bool taken;
    } cases[] = {
        {"127.0.0.1:8080", true}, {"localhost:8080", true},     {"LocalHost", true},
        {"[::1]:8080", true},     {"192.0.2.7:8080", true},     {"", false},
        {"evil.example", false},  {"127.0.0.1.evil:80", false}, {"[::1", false},
        {"192.0.2.70:80", false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(!guard.CheckHost(c.host).has_value(), c.taken) << c.host;
    }
}

TEST(WebGuard, ChangesNeedOwnOriginJsonAndTheToken)
{
    const Guard open("127.0.0.1", true, "");
    const Guard tokened("0.0.0.0", false, "s3cret");
    const Guard read_only("0.0.0.0", false, "");
    struct Case {
        const Guard &guard;
        const char *origin;
        const char *type;
        const char *token;
        int status;  // 0: taken
    } cases[] = {
        {open, "", "application/json", "", 0},
        {open, "http://127.0.0.1:80", "application/json; charset=utf-8", "", 0},
        {open, "http://127.0.0.1:81", "application/json", "", 403},
        {open, "null", "application/json", "", 403},
        {open, "", "text/plain", "", 415},
        {open, "", "", "", 415},
        {tokened, "", "application/json", "", 401},
        {tokened, "", "application/json", "s3cre", 401},
        {tokened, "", "application/json", "s3cret", 0},
        {read_only, "", "application/json", "anything", 403},
    };
    for (const Case &c : cases) {
        const auto refused = c.guard.CheckChange("127.0.0.1:80", c.origin, c.type, c.token);
        EXPECT_EQ(refused ? refused->status : 0, c.status) << c.origin << " " << c.type;
    }
}

TEST(WebChange, RequestsBecomeOneChangeOrAreRefusedWhole)
{
    struct Case {
        const char *json;
        const char *text;  // nullptr: refused
    } cases[] = {
        {R"({"frequency_hz": 2455000000})", "frequency 2455 MHz"},
        {R"({"level": -3.25, "mode": 3})", "level -3.25, mode 3"},
        {R"({"flag_b": true, "auto_trim": false})", "flag B on, auto trim off"},
        {R"({"trim_a": 255})", "trim A 255"},
        {R"({})", nullptr},
        {R"([1])", nullptr},
        {R"({"frequency_hz": 299999999})", nullptr},
        {R"({"frequency_hz": "3e9"})", nullptr},
        {R"({"attenuation": 31.76})", nullptr},
        {R"({"attenuation": 10.1})", nullptr},  // off the 0.25 grid
        {R"({"mode": 2.5})", nullptr},
        {R"({"trim_a": 256})", nullptr},
        {R"({"trim_a": 1e300})", nullptr},
        {R"({"flag_a": 1})", nullptr},
        {R"({"level": 1, "LEVEL": 1})", nullptr},
        {R"({"level": 1, "attenuation": 2})", nullptr},  // which one would hold?
        {R"({"level": 1, "mode": 1})", nullptr},
        // One field refused: none of the others is taken.
        {R"({"frequency_hz": 4.5e9, "trim_b": -1})", nullptr},
    };
    for (const Case &c : cases) {
        const auto request = nlohmann::json::parse(c.json);
        if (c.text == nullptr) {
            EXPECT_ANY_THROW(ChangeFromJson(request)) << c.json;
        } else {
            EXPECT_EQ(service::ChangeText(ChangeFromJson(request)), c.text) << c.json;
        }
    }
}

// A unit with a level calibration takes its level in dBm, as the pages
// show it, to the nearest step; its own grid and range hold on the level.
TEST(WebChange, LevelsInDbmBecomeTheNearestStep)
{
    const service::LevelScale dbm(-3.1);
    const auto level = [&](const char *json) {
        return ChangeFromJson(nlohmann::json::parse(json), dbm).level;
    };
    EXPECT_EQ(level(R"({"level": 6.4})"), 9.5);
    EXPECT_EQ(level(R"({"level": 6.5})"), 9.5);  // 9.6: the nearest step is 9.5
    EXPECT_EQ(level(R"({"level": -34.85})"), -31.75);
    EXPECT_ANY_THROW(level(R"({"level": 61})"));  // 64.1: past the highest level
    // Without a calibration, 6.4 is a level off the grid.
    EXPECT_ANY_THROW(ChangeFromJson(nlohmann::json::parse(R"({"level": 6.4})")));
}

TEST(WebText, AnyBytesBecomeJsonAndXml)
{
    for (int byte = 0; byte < 256; ++byte) {
        const std::string text = "r" + std::string(1, static_cast<char>(byte)) + "\xC3";
        const std::string sent = JsonText(nlohmann::json{{"hardware", text}});
        EXPECT_TRUE(net::IsUtf8(sent)) << byte;
        EXPECT_FALSE(nlohmann::json::parse(sent).empty()) << byte;
        const std::string xml = net::XmlEscaped(text);
        EXPECT_TRUE(net::IsUtf8(xml)) << byte;
        EXPECT_EQ(xml.find_first_of("<>\"'"), std::string::npos) << byte;
    }
    EXPECT_EQ(net::ValidUtf8("A\xA5\xE2\x82\xAC\xED\xA0\x80"),
              "A\xEF\xBF\xBD\xE2\x82\xAC\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vontrel::serve::web
