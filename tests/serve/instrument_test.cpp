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
