// The instrument model over a simulated unit, in one process: the unit
// going away and coming back, and list sweeps beside other clients.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "d2xx/sim/vsim.h"
#include "tools/serve/instrument.h"

namespace vontrel::serve {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool StartsWith(const std::string &text, const std::string &start)
{
    return text.rfind(start, 0) == 0;
}

class Served : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim_clear();
        id_ = vsim_add_unit("Vontrel", 4660);
        std::vector<vontrel::Unit> units = vontrel::open_all();
        ASSERT_EQ(units.size(), 1U);
        owner_ = std::make_unique<UnitOwner>(std::move(units[0]), [](const std::string &) {});
    }

    std::unique_ptr<Instrument> Client(ConnectionId id)
    {
        return std::make_unique<Instrument>(
            *owner_, id, "client", [](const std::string &) {}, stopping_);
    }

    static std::string Run(Instrument &in, const std::string &line)
    {
        return in.Execute(line, [] { return false; });
    }

    int id_ = -1;
    std::unique_ptr<UnitOwner> owner_;
    std::atomic<bool> stopping_{false};
};

// One connection's lines and the answer each gives ("" for none), in order,
// on a unit fresh from power-up (not locked until it is programmed).
TEST_F(Served, Dialogue)
{
    auto a = Client(1);
    const struct {
        const char *line, *answer;
    } steps[] = {
        // Lock detect as questionable bit 5; the event latches, *STB? sums it.
        {"STAT:QUES:COND?;*STB?", "32;0"},
        {"STAT:QUES:ENAB 32;ENAB?;*STB?", "32;8"},
        {"FREQ 1GHZ;STAT:QUES:COND?;VONT:LOCK?;STAT:QUES?;STAT:QUES?", "0;1;32;0"},
        // Forms, suffixes, MIN/MAX, and headers relative to the command before.
        {"*RST;*CLS;*ESR?", "0"},
        {"freq 2.455 ghz;FREQ?;FREQ? MIN;FREQ? MAX", "2455000000;300000000;5000000000"},
        {"SOUR:FREQ:CW 1500 MHZ;FIX?", "1500000000"},
        {"POW:ATT 10.25;ATT?;:VONT:MODE?", "10.25;1"},
        {"POW:ATT MAX;POW:ATT?;POW:ATT? MIN", "31.75;0"},
        {"VONT:FLAG:B ON;B?;C?", "1;0"},
        {"VONT:TRIM:AUTO ON;A 17;A?;AUTO?", "17;0"},
        {"VONT:STOR 200;STOR?;:VONT:SWIT 4;SWIT?;:VONT:MODE 2;MODE?", "200;4;2"},
        {"SYST:ERR?", "0,\"No error\""},
        // Status registers: *SRE ignores bit 6; an error sets ESR and EAV.
        {"*ESE 60;*ESE?;*SRE 255;*SRE?", "60;191"},
        {"FOO;*ESR?;*STB?", "32;68"},
        {"SYST:ERR:COUN?;SYST:ERR?;SYST:ERR?", "1;-113,\"Undefined header; FOO\";0,\"No error\""},
        {"*SAV 0;*RCL 0;*SAV 1;SYST:ERR?",
         "-222,\"Data out of range; register 1: the unit keeps one user preset, 0\""},
        {"*IDN;OUTP ON;*TST?;*OPC?;SYST:ERR:COUN?", "0;1;2"},
        {"*CLS;LIST:FREQ 1GHZ,2GHZ;LIST:POW 1,2,3;INIT;SYST:ERR?",
         "-221,\"Settings conflict; LIST:POWer has 3 points, LIST:FREQuency 2\""},
        {"VONT:FLAG:A 2;VONT:MODE 1.5;POW 1 DB;FREQ? 5;SYST:ERR:COUN?", "4"},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(Run(*a, step.line), step.answer + std::string(*step.answer ? "\n" : ""))
            << step.line;
    }
    EXPECT_EQ(Run(*a, "*CLS;POW MAX;POW?"), Run(*a, "POW? MAX"));

    // The queue holds 20 errors; the 21st turns the newest into -350.
    Run(*a, "*CLS;A;A;A;A;A;A;A;A;A;A;A;A;A");
    Run(*a, "A;A;A;A;A;A;A;A;A;A;A;A;A");
    EXPECT_EQ(Run(*a, "SYST:ERR:COUN?;*ESR?"), "20;40\n");
    for (int i = 0; i < 19; ++i) {
        EXPECT_TRUE(StartsWith(Run(*a, "SYST:ERR?"), "-113,"));
    }
    EXPECT_EQ(Run(*a, "SYST:ERR?;SYST:ERR?"), "-350,\"Queue overflow\";0,\"No error\"\n");
}

TEST_F(Served, UnitUnpluggedAndBack)
{
    auto a = Client(1);
    EXPECT_EQ(Run(*a, "FREQ 2 GHZ;FREQ?"), "2000000000\n");
    vsim_unplug(id_);
    EXPECT_EQ(Run(*a, "FREQ?"), "");
    const std::string lost = Run(*a, "SYST:ERR?");
    EXPECT_TRUE(StartsWith(lost,
                           "-240,\"Hardware error; unit 4660: Vontrel_ReadStatus: "
                           "FT_IO_ERROR: input/output error"))
        << lost;
    std::this_thread::sleep_for(250ms);  // past the pause between two reopening attempts
    EXPECT_EQ(Run(*a, "*IDN?"), "");
    EXPECT_NE(Run(*a, "SYST:ERR?").find("FT_DEVICE_NOT_FOUND"), std::string::npos);

    vsim_plug(id_);
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(Run(*a, "FREQ?;SYST:ERR?"), "2000000000;0,\"No error\"\n");
    EXPECT_EQ(vsim_open_handles(), 1);
    EXPECT_EQ(vsim_closed_handle_calls(), 0);
}

TEST_F(Served, SweepSharesTheUnitAndEndsWithItsConnection)
{
    auto a = Client(1);
    auto b = Client(2);
    EXPECT_EQ(Run(*a, "LIST:FREQ 1GHZ,2GHZ;LIST:DWEL 30;INIT;SYST:ERR?"), "0,\"No error\"\n");
    const auto start = Clock::now();
    // Others read between the points, may not change the unit, and have
    // no sweep of their own to wait for; the sweep's owner cannot start
    // another.
    EXPECT_EQ(Run(*b, "FREQ?"), "1000000000\n");
    EXPECT_EQ(Run(*b, "POW:ATT 3;*OPC?"), "1\n");
    EXPECT_TRUE(StartsWith(Run(*b, "SYST:ERR?"), "-221,\"Settings conflict; another"));
    EXPECT_TRUE(StartsWith(Run(*a, "INIT;SYST:ERR?"), "-213,"));
    EXPECT_TRUE(StartsWith(Run(*a, "FREQ 3GHZ;SYST:ERR?"), "-221,\"Settings conflict; this"));
    a.reset();  // the client goes away in the middle of the sweep
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(Run(*b, "FREQ 3GHZ;FREQ?;SYST:ERR?"), "3000000000;0,\"No error\"\n");
}

TEST_F(Served, SweepRunsToItsEndOrToAPointTheUnitCannotTake)
{
    auto a = Client(1);
    EXPECT_EQ(Run(*a, "LIST:FREQ 1GHZ,2GHZ,3GHZ;LIST:DWEL 0;INIT;*OPC;*OPC?;FREQ?;*ESR?"),
              "1;3000000000;1\n");

    // A level within the range at the first point and outside it at the second.
    const auto range = [&](const char *freq) {
        double min = 0.0;
        double max = 0.0;
        std::sscanf(Run(*a, std::string("FREQ ") + freq + ";POW:RANG?").c_str(), "%lf,%lf", &min,
                    &max);
        return std::pair{min, max};
    };
    const auto [min1, max1] = range("1GHZ");
    const auto [min3, max3] = range("3GHZ");
    ASSERT_NE(max1, max3);
    const double level = max1 > max3 ? max1 : min1;
    EXPECT_EQ(
        Run(*a,
            fmt::format("LIST:FREQ 1GHZ,3GHZ;LIST:POW {};INIT;*OPC?;FREQ?;POW?;VONT:MODE?", level)),
        fmt::format("1;1000000000;{};3\n", level));
    const std::string refused = Run(*a, "SYST:ERR?");
    EXPECT_TRUE(StartsWith(refused, "-222,\"Data out of range; list point 2: level")) << refused;
}

}  // namespace
}  // namespace vontrel::serve
