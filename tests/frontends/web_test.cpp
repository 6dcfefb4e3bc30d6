// SPDX-License-Identifier: MIT
// The web front end's request checks and the change requests it builds
// SCPI lines from, in process.
#include <gtest/gtest.h>

#include <string>

#include "frontends/http/panel_state.h"
#include "frontends/http/security.h"

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

TEST(WebChange, RequestsBecomeOneLineOrAreRefused)
{
    struct Case {
        const char *json;
        const char *line;  // nullptr: refused
    } cases[] = {
        {R"({"frequency_hz": 2455000000})", ":FREQ 2455000000"},
        {R"({"level": -3.25, "mode": 3})", ":VONT:MODE 3;:POW -3.25"},
        {R"({"flag_b": true, "auto_trim": false})", ":VONT:FLAG:B 1;:VONT:TRIM:AUTO 0"},
        {R"({"trim_a": 255})", ":VONT:TRIM:A 255"},
        {R"({})", nullptr},
        {R"([1])", nullptr},
        {R"({"frequency_hz": 299999999})", nullptr},
        {R"({"frequency_hz": "3e9"})", nullptr},
        {R"({"attenuation": 31.76})", nullptr},
        {R"({"mode": 2.5})", nullptr},
        {R"({"trim_a": 256})", nullptr},
        {R"({"flag_a": 1})", nullptr},
        {R"({"level": 1, "LEVEL": 1})", nullptr},
    };
    for (const Case &c : cases) {
        const auto request = nlohmann::json::parse(c.json);
        if (c.line == nullptr) {
            EXPECT_THROW(ChangeLine(request), std::invalid_argument) << c.json;
        } else {
            EXPECT_EQ(ChangeLine(request), c.line) << c.json;
        }
    }
}

}  // namespace
}  // namespace vontrel::serve::web
