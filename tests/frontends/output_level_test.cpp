// SPDX-License-Identifier: MIT
// Levels in dBm and the output turned off, as a unit's units-file entry
// makes them, over a simulated unit: what SCPI clients are answered, and
// what the unit then holds.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>

#include "d2xx/sim/vsim.h"
#include "frontends/scpi/instrument.h"
#include "service/output_state.h"

namespace vontrel::serve {
namespace {

class Configured : public ::testing::Test {
protected:
    void Serve(service::UnitConfig config, service::MainsPower *mains = nullptr)
    {
        vsim_clear();
        vsim_add_unit("Vontrel", 4660);
        std::vector<vontrel::Unit> units = vontrel::open_all();
        ASSERT_EQ(units.size(), 1U);
        client_.reset();
        owner_ = std::make_unique<service::UnitOwner>(
            std::move(units[0]), [](const std::string &) {}, std::move(config), mains);
        client_ = std::make_unique<Instrument>(
            *owner_, 1, "client", [](const std::string &) {}, stopping_);
    }

    std::string Run(const std::string &line)
    {
        std::string answer = client_->Execute(line, [] { return Instrument::Waiting::kGoOn; });
        if (!answer.empty()) {
            answer.pop_back();  // the LF
        }
        return answer;
    }

    // What the unit holds, read back past the server's view of it.
    vontrel::Status Held()
    {
        service::UnitOwner::Access access(*owner_);
        return access.Call([](vontrel::Unit &u) { return u.status(); });
    }

    std::unique_ptr<service::UnitOwner> owner_;
    std::unique_ptr<Instrument> client_;
    std::atomic<bool> stopping_{false};
};

TEST_F(Configured, LevelsInDbmWithALevelCalibration)
{
    Serve({-3.1, std::nullopt, std::nullopt});
    EXPECT_EQ(Run("UNIT:POW?;:UNIT:POW DBM;:FREQ 2 GHZ;:POW 6.5 DBM;POW?;:VONT:MODE?;SYST:ERR?"),
              "DBM;6.4;3;0,\"No error\"");  // 9.6 level units: the nearest step is 9.5
    EXPECT_EQ(Held().level, 9.5);
    EXPECT_EQ(Run("POW 0;POW?;:POW -1.2DBM;POW?"), "-0.1;-1.1");
    const vontrel::Status s = Held();
    const auto dbm = [](double level) { return service::LevelScale(-3.1).Shown(level); };
    EXPECT_EQ(Run("POW:RANG?;:POW? MIN;:POW? MAX"),
              fmt::format("{0},{1};{0};{1}", dbm(s.level_min), dbm(s.level_max)));
    // Refusals give levels in dBm.
    EXPECT_EQ(Run("POW 1 V;POW 100 DBM;UNIT:POW LEV;SYST:ERR?;SYST:ERR?;SYST:ERR?"),
              "-131,\"Invalid suffix; POW: a level takes DBM or no unit, not V\";"
              "-222,\"Data out of range; POW: 100 dBm is outside -34.85 to 60.65 dBm\";"
              "-224,\"Illegal parameter value; UNIT:POW: the level of a unit with a level "
              "calibration is in DBM\"");
    EXPECT_EQ(Run(fmt::format("POW {};SYST:ERR?", dbm(s.level_max + 1))),
              fmt::format("-222,\"Data out of range; POW: {} dBm is outside the unit's calibrated "
                          "range at 2000 MHz: {} to {} dBm\"",
                          dbm(s.level_max + 1), dbm(s.level_min), dbm(s.level_max)));
    // Lists, the level sweep's ends and *LRN? are in dBm too.
    EXPECT_EQ(Run("LIST:POW 1 DBM,2;POW?;:POW:STAR -2.1;STAR?;STOP?"), "0.9,1.9;-2.1;-3.1");
    const std::string learnt = Run("*LRN?");
    EXPECT_NE(learnt.find(":POW -1.1"), std::string::npos) << learnt;
    Run("*RST;" + learnt);
    EXPECT_EQ(Held().level, 2.0);
}

TEST_F(Configured, OutputOffMutesAndOnBringsTheLevelBack)
{
    Serve({});  // no entry: mute
    EXPECT_EQ(Run("*OPT?"),
              "\"output off mutes - attenuation 31.75 level units - not an RF switch\"");
    EXPECT_EQ(Run("FREQ 2 GHZ;:POW 5;OUTP?;:OUTP OFF;OUTP?;:POW?;:VONT:MODE?;SYST:ERR?"),
              "1;0;5;3;0,\"No error\"");
    vontrel::Status held = Held();
    EXPECT_EQ(held.mode, vontrel::Mode::kMode1);
    EXPECT_EQ(held.attenuation, VONTREL_ATTEN_MAX);
    // Muted, the level and the frequency change; the unit stays muted.
    EXPECT_EQ(Run("POW 3;:FREQ 2.5 GHZ;:POW?;:OUTP?;:OUTP OFF;:OUTP?"), "3;0;0");
    held = Held();
    EXPECT_EQ(held.attenuation, VONTREL_ATTEN_MAX);
    EXPECT_EQ(held.frequency_mhz, 2500.0);
    EXPECT_EQ(Run(fmt::format("POW {};SYST:ERR:COUN?;:POW?", held.level_max + 1)), "1;3");
    EXPECT_EQ(Run("OUTP ON;OUTP?;:POW?"), "1;3");
    held = Held();
    EXPECT_EQ(held.mode, vontrel::Mode::kMode3);
    EXPECT_EQ(held.level, 3.0);

    // The attenuation outside mode 3 comes back as it was.
    EXPECT_EQ(Run("POW:ATT 7.5;:OUTP 0;:POW:ATT?;:POW:ATT 9;:OUTP 1;:POW:ATT?;:VONT:MODE?"),
              "7.5;9;1");
    EXPECT_EQ(Held().attenuation, 9.0);

    // A sweep of levels goes on muted; ON brings its last point back. The
    // step sweep's retrace brings the first.
    EXPECT_EQ(Run("OUTP OFF;:LIST:FREQ 1 GHZ,2 GHZ;:LIST:POW 1,2;:LIST:DWEL 0;:INIT;*OPC?;"
                  ":OUTP?;:POW?"),
              "1;0;2");
    EXPECT_EQ(Held().attenuation, VONTREL_ATTEN_MAX);
    EXPECT_EQ(Run("OUTP ON;:POW?;:FREQ?"), "2;2000000000");
    EXPECT_EQ(Held().level, 2.0);

    // A preset programs the unit otherwise: the mute is over.
    EXPECT_EQ(Run("OUTP OFF;*RST;OUTP?"), "1");
    // So is a mute the unit no longer holds, whoever programmed it.
    EXPECT_EQ(Run("OUTP OFF;OUTP?"), "0");
    {
        service::UnitOwner::Access access(*owner_);
        access.Call([](vontrel::Unit &u) {
            vontrel::Settings s = u.status();
            s.attenuation = 4;
            u.apply(s);
        });
    }
    EXPECT_EQ(Run("OUTP?;*LRN?"), "1;" + Run("*LRN?"));
}

// A mains switch that remembers what it was told.
class FakeMains : public service::MainsPower {
public:
    bool IsOn(const service::PowerOutlet &outlet) override { return outlet.outlet == 3 && on; }
    void Set(const service::PowerOutlet &outlet, bool state) override
    {
        on = outlet.outlet == 3 ? state : on;
    }
    bool on = true;
};

TEST_F(Configured, OutputOffRefusedOrAtTheMains)
{
    Serve({std::nullopt, service::OutputOff::kRefuse, std::nullopt});
    EXPECT_EQ(Run("*OPT?;OUTP OFF;OUTP?;SYST:ERR?"),
              "\"output off refused - no RF switch\";1;-241,\"Hardware missing; OUTP: the "
              "unit's output has no switch and is always on (output_off is refuse in its "
              "units-file entry); the highest attenuation gives the lowest level\"");

    // Powered from an outlet: off there, as the switch reads it.
    const service::UnitConfig mains{std::nullopt, std::nullopt, service::PowerOutlet{"", 3}};
    Serve(mains);
    EXPECT_EQ(Run("*OPT?;OUTP OFF;OUTP?;SYST:ERR?"),
              "\"output off switches outlet 3 off\";1;-241,\"Hardware missing; OUTP: the unit's "
              "output is switched off at its mains outlet (output_off is mains in its units-file "
              "entry), but this program drives no mains switch\"");
    FakeMains switched;
    Serve(mains, &switched);
    EXPECT_EQ(Run("OUTP OFF;OUTP?;SYST:ERR?"), "0;0,\"No error\"");
    EXPECT_FALSE(switched.on);
    EXPECT_EQ(Run("OUTP ON;OUTP?"), "1");
    EXPECT_TRUE(switched.on);
}

TEST_F(Configured, LevelSweepAtAFixedFrequency)
{
    Serve({-3.25, std::nullopt, std::nullopt});
    std::vector<std::pair<double, double>> points;  // MHz, level held
    client_->ObservePoints([&](std::size_t, double mhz,
                               std::optional<double>) { points.emplace_back(mhz, Held().level); },
                           nullptr);
    EXPECT_EQ(Run("FREQ 2 GHZ;:FREQ:MODE CW;:POW:MODE SWE;:POW:STAR -2 DBM;STOP 0 DBM;"
                  ":SWE:POIN 5;DWEL 0;:INIT;*OPC?;:POW?;:FREQ?;SYST:ERR?"),
              "1;0;2000000000;0,\"No error\"");
    // From 1.25 to 3.25 level units, each point on the attenuator's grid.
    const std::vector<std::pair<double, double>> expected{
        {2000, 1.25}, {2000, 1.75}, {2000, 2.25}, {2000, 2.75}, {2000, 3.25}};
    EXPECT_EQ(points, expected);
    // With the frequency, and back to the first point at the end.
    points.clear();
    EXPECT_EQ(Run("FREQ:MODE SWE;STAR 1 GHZ;STOP 2 GHZ;:SWE:POIN 2;:LIST:RETR ON;:TSW;*OPC?;"
                  ":POW?;:FREQ?"),
              "1;-2;1000000000");
    EXPECT_EQ(points.size(), 2U);
    EXPECT_EQ(Run("FREQ:MODE LIST;:INIT;SYST:ERR?"),
              "-221,\"Settings conflict; INIT: POWer:MODE SWEep sweeps the level at a fixed "
              "frequency (FREQuency:MODE CW) or with the step sweep (FREQuency:MODE SWEep), not "
              "with the lists\"");
    // SWEep:CONTinuous is INITiate:CONTinuous.
    EXPECT_EQ(Run("FREQ:MODE CW;:SWE:CONT:STAT ON;:INIT:CONT?;:STAT:OPER:COND?;"
                  ":SWE:CONT OFF;*OPC?;:INIT:CONT?"),
              "1;8;1;0");
}

}  // namespace
}  // namespace vontrel::serve
