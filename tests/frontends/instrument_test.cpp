// SPDX-License-Identifier: MIT
// The instrument model over a simulated unit, in one process: the unit
// going away and coming back, and list sweeps beside other clients.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "d2xx/sim/vsim.h"
#include "frontends/scpi/instrument.h"

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
        owner_ =
            std::make_unique<service::UnitOwner>(std::move(units[0]), [](const std::string &) {});
    }

    std::unique_ptr<Instrument> Client(service::ConnectionId id)
    {
        return std::make_unique<Instrument>(
            *owner_, id, "client", [](const std::string &) {}, stopping_);
    }

    static std::string Run(Instrument &in, const std::string &line)
    {
        return in.Execute(line, [] { return Instrument::Waiting::kGoOn; });
    }

    int id_ = -1;
    std::unique_ptr<service::UnitOwner> owner_;
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
         "-222,\"Data out of range; *SAV: register 1: the unit keeps one user preset, 0\""},
        {"*IDN;OUTP:MOD ON;*TST?;*OPC?;SYST:ERR:COUN?", "0;1;2"},
        {"*CLS;LIST:FREQ 1GHZ,2GHZ;LIST:POW 1,2,3;INIT;SYST:ERR?",
         "-221,\"Settings conflict; INIT: LIST:POWer has 3 points, LIST:FREQuency 2\""},
        // A query that fails makes the whole line answer nothing, so that no
        // answer takes another's place.
        {"VONT:FLAG:A 2;VONT:MODE 1.5;POW 1 DB;FREQ? 5;SYST:ERR:COUN?", ""},
        {"SYST:ERR:COUN?", "4"},
        {"*CLS;FREQ?;POW:ATT? X;VONT:MODE?", ""},
        {"FREQ?;BOGUS?;VONT:MODE?", ""},
        {"FREQ?;VONT:MODE?;FREQ 'open", ""},
        {"SYST:ERR:ALL?",
         "-224,\"Illegal parameter value; POW:ATT?: X is not a value here; give a "
         "number, MIN or MAX\","
         "-113,\"Undefined header; BOGUS?\",-151,\"Invalid string data; FREQ: the string "
         "has no closing quote\""},
        {"SYST:ERR:ALL?", "0,\"No error\""},
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
                           "-240,\"Hardware error; FREQ?: unit 4660: Vontrel_ReadStatus: "
                           "FT_IO_ERROR: input/output error"))
        << lost;
    std::this_thread::sleep_for(250ms);  // past the pause between two reopening attempts
    EXPECT_EQ(Run(*a, "*IDN?"), "");
    EXPECT_NE(Run(*a, "SYST:ERR?").find("FT_DEVICE_NOT_FOUND"), std::string::npos);

    vsim_plug(id_);
    std::this_thread::sleep_for(450ms);  // the pause doubles after each look that fails
    EXPECT_EQ(Run(*a, "FREQ?;SYST:ERR?"), "2000000000;0,\"No error\"\n");
    EXPECT_EQ(vsim_open_handles(), 1);
    EXPECT_EQ(vsim_closed_handle_calls(), 0);
}

// A line whose query failed answers nothing: the queries after it in that
// line do not run, so that no error is taken off the queue and no lock is
// taken with the answer that says so thrown away.
TEST_F(Served, QueriesAfterAFailedOneDoNotRun)
{
    auto a = Client(1);
    vsim_unplug(id_);
    for (const char *after : {"SYST:ERR?", "SYST:LOCK:REQ?"}) {
        EXPECT_EQ(Run(*a, std::string("FREQ?;:") + after), "") << after;
    }
    EXPECT_EQ(Run(*a, "SYST:LOCK:OWN?"), "\"NONE\"\n");
    const std::string lost = Run(*a, "SYST:ERR?");
    EXPECT_TRUE(StartsWith(lost, "-240,\"Hardware error; FREQ?: unit 4660: ")) << lost;
    vsim_plug(id_);
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
    EXPECT_TRUE(StartsWith(Run(*b, "SYST:ERR?"), "-221,\"Settings conflict; POW:ATT: another"));
    EXPECT_TRUE(StartsWith(Run(*a, "INIT;SYST:ERR?"), "-213,"));
    EXPECT_TRUE(StartsWith(Run(*a, "FREQ 3GHZ;SYST:ERR?"), "-221,\"Settings conflict; FREQ: this"));
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

// What stock drivers and scripts send: commands answered in a table, on a
// unit fresh from power-up.
TEST_F(Served, CommandsOfStockDrivers)
{
    auto a = Client(1);
    const struct {
        const char *line, *answer;
    } steps[] = {
        // What the unit lacks reads off; OFF is taken, ON refused.
        {"OUTP ON;OUTP?;OUTP:STAT?;OUTP1:STAT 1;SYST:ERR?", "1;1;0,\"No error\""},
        {":OUTPUT:MOD?;:OUTP:MOD OFF;:OUTPUT:MOD:STAT OFF;:lfo:stat off;:OUTP:BLAN:STAT?;"
         ":SOUR:ROSC:OUTP:STAT?;:AM:STAT?;:SOUR:PULM:STAT?;:LFO?;SYST:ERR?",
         "0;0;0;0;0;0;0,\"No error\""},
        {"OUTP:MOD ON;:ROSC:OUTP ON;:OUTP:BLAN 1;SYST:ERR?;SYST:ERR:COUN?",
         "-241,\"Hardware missing; OUTP:MOD: the unit has no modulation\";2"},
        // What level units are in: without a level calibration, not dBm.
        {"*CLS;UNIT:POW?;UNIT:POW LEV;:POW 1 DBM;UNIT:POW DBM;:POW 1 DB;SYST:ERR:COUN?", "LEV;3"},
        {"SYST:ERR?",
         "-138,\"Suffix not allowed; POW: unit 4660 has no level calibration, so its level is "
         "in its own level units, not dBm; measure its offset against a power meter and give it "
         "as level_offset_db of unit 4660 in the units file (docs/units-file.md)\""},
        {"*CLS;SWE:GEN?;SWE:MODE?;LIST:MODE?;:SWE:GEN STEP;MODE AUTO;:LIST:MODE AUTO;SYST:ERR?",
         "STEP;AUTO;AUTO;0,\"No error\""},
        {"SWE:GEN ANAL;:SWE:MODE MAN;:LIST:MODE MAN;:SWE:GEN RAMP;SYST:ERR:COUN?;SYST:ERR?",
         "4;-241,\"Hardware missing; SWE:GEN: the unit steps from point to point; it has no "
         "analog ramp\""},
        {"*CLS;SWE:POIN 11;DWEL 20 MS;TIME?;:LIST:RETR?;RETR ON;RETR?;:POW:MODE?", "0.22;0;1;FIX"},
        // Unknown headers are -113 with or without a suffix; known ones -114.
        {"BOGUS18;OUTP2 ON;SYST:ERR?;SYST:ERR?",
         "-113,\"Undefined header; BOGUS18\";-114,\"Header suffix out of range; OUTP2: OUTP2 is "
         "not there: this instrument has one of each, suffix 1\""},
        // Suffix 1 is the default; any other names something the unit lacks.
        {"SOUR1:FREQ 1.5 GHZ;:SOURCE1:FREQ?;:SOUR01:POW:ATT 2;ATT?", "1500000000;2"},
        // The failed STAT:OPER2? leaves the queries after it unrun: all
        // three errors stay queued.
        {"SOUR2:FREQ 1 GHZ;OUTP2 ON;STAT:OPER2?;SYST:ERR:COUN?;SYST:ERR?", ""},
        {"SYST:ERR:COUN?;SYST:ERR?",
         "3;-114,\"Header suffix out of range; SOUR2:FREQ: SOUR2 is not there: this "
         "instrument has one of each, suffix 1\""},
        {"*CLS;*OPT?;FREQ?",
         "\"output off mutes - attenuation 31.75 level units - not an RF switch\";1500000000"},
        // The step sweep's settings; center and span follow start and stop.
        {"FREQ:STAR 1 GHZ;STOP 2 GHZ;CENT?;SPAN?", "1500000000;1000000000"},
        {"FREQ:CENT 3 GHZ;SPAN 200 MHZ;STAR?;STOP?", "2900000000;3100000000"},
        {"SWE:POIN 5;STEP?;:SWE:STEP 40 MHZ;POIN?;DWEL 2 MS;DWEL?", "50000000;6;0.002"},
        {"FREQ:STAR 4.99 GHZ;FREQ:CENT 4.95 GHZ;STAR?;SYST:ERR:COUN?", "4990000000;1"},
        {"SWE:POIN 1;SWE:STEP 0;SWE:POIN?;FREQ:MODE?;TRIG:SOUR?", "6;CW;IMM"},
        {"*CLS;FREQ:MODE SWEEP;MODE?;FREQ:MODE FIX;MODE?;:TRIG:SOUR BUS;SOUR?", "SWE;CW;BUS"},
        {"FREQ:MODE STEP;TRIG:SOUR EXT;SYST:ERR:COUN?", "2"},
        // Nothing waits for a trigger; the operation registers are quiet.
        {"*CLS;*TRG;SYST:ERR?;STAT:OPER:COND?;STAT:OPER?;INIT:CONT?",
         "-211,\"Trigger ignored; *TRG: no sweep of this connection waits for a trigger\";0;0;0"},
        // *RST brings the sweep settings back.
        {"*RST;FREQ:MODE?;TRIG:SOUR?;SWE:POIN?;FREQ:STAR?", "CW;IMM;101;300000000"},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(Run(*a, step.line), step.answer + std::string(*step.answer ? "\n" : ""))
            << step.line;
    }
}

// *LRN? answers a line that brings the unit back to what it held.
TEST_F(Served, LearnRestoresTheSettings)
{
    auto a = Client(1);
    for (const char *settings : {"FREQ 2.1 GHZ;POW:ATT 7.5;:VONT:MODE 2;SWIT 3;FLAG:B "
                                 "1;:VONT:TRIM:A 9;B 200;:VONT:STOR 17",
                                 "FREQ 1 GHZ;:VONT:TRIM:AUTO 1;:POW 0;:VONT:FLAG:C 1"}) {
        EXPECT_EQ(Run(*a, settings + std::string(";SYST:ERR?")), "0,\"No error\"\n");
        const std::string read =
            "FREQ?;POW:ATT?;POW?;:VONT:MODE?;SWIT?;FLAG:A?;B?;C?;"
            ":VONT:TRIM:A?;B?;AUTO?;:VONT:STOR?";
        const std::string before = Run(*a, read);
        std::string learnt = Run(*a, "*LRN?");
        ASSERT_FALSE(learnt.empty());
        learnt.pop_back();
        Run(*a, "*RST");
        ASSERT_NE(Run(*a, read), before);
        EXPECT_EQ(Run(*a, learnt + ";SYST:ERR?"), "0,\"No error\"\n") << learnt;
        EXPECT_EQ(Run(*a, read), before) << learnt;
    }
}

TEST_F(Served, StepSweepTriggeredFromTheBus)
{
    auto a = Client(1);
    EXPECT_EQ(Run(*a,
                  "FREQ:STAR 1 GHZ;STOP 2 GHZ;:SWE:POIN 3;DWEL 0;:FREQ:MODE SWE;:INIT;"
                  "*OPC?;FREQ?"),
              "1;2000000000\n");
    // With BUS, each *TRG programs the next point.
    EXPECT_EQ(Run(*a, "TRIG:SOUR BUS;:STAT:OPER:ENAB 32;:INIT;SYST:ERR?"), "0,\"No error\"\n");
    const auto waiting = [&] { return Run(*a, "STAT:OPER:COND?") == "40\n"; };
    for (const char *frequency : {"1000000000", "1500000000", "2000000000"}) {
        for (int i = 0; i < 2000 && !waiting(); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(Run(*a, "STAT:OPER:COND?;*STB?"), "40;128\n");
        Run(*a, "*TRG");
        for (int i = 0; i < 2000 && Run(*a, "FREQ?") != frequency + std::string("\n"); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(Run(*a, "FREQ?"), frequency + std::string("\n"));
    }
    EXPECT_EQ(Run(*a, "*OPC?;STAT:OPER?;STAT:OPER?;STAT:OPER:COND?"), "1;40;0;0\n");

    // A continuous sweep starts over until INIT:CONT OFF lets it end.
    EXPECT_EQ(Run(*a, "TRIG:SOUR IMM;:SWE:DWEL 1 MS;:INIT:CONT ON;:INIT;SYST:ERR?"),
              "-213,\"Init ignored; INIT: this connection's sweep is still running\"\n");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Run(*a, "STAT:OPER:COND?;INIT:CONT?"), "8;1\n");
    EXPECT_EQ(Run(*a, "INIT:CONT OFF;*OPC?;STAT:OPER:COND?;FREQ?"), "1;0;2000000000\n");
}

// A trigger is taken once: a second one sent before the sweep has moved on
// is refused, not taken and lost, and the sweep no longer reports that it
// waits.
TEST_F(Served, EachTriggerIsTakenOnce)
{
    auto a = Client(1);
    EXPECT_EQ(Run(*a,
                  "LIST:FREQ 2 GHZ;:LIST:DWEL 0;:FREQ:MODE LIST;:TRIG:SOUR BUS;:INIT;"
                  "SYST:ERR?"),
              "0,\"No error\"\n");
    for (int i = 0; i < 2000 && Run(*a, "STAT:OPER:COND?") != "40\n"; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(Run(*a, "*TRG;*TRG;SYST:ERR?;*OPC?;FREQ?"),
              "-211,\"Trigger ignored; *TRG: no sweep of this connection waits for a trigger\";1;"
              "2000000000\n");
}

// *OPC and the sweep's end never miss each other, *RST forgets a pending
// *OPC, and a client that is not the sweep's owner changes nothing of its
// own when refused.
TEST_F(Served, OperationCompleteAndReset)
{
    auto a = Client(1);
    Run(*a, "LIST:FREQ 1GHZ;LIST:DWEL 0");
    for (int i = 0; i < 2000; ++i) {
        Run(*a, "INIT");
        Run(*a, "*OPC");  // races with the sweep's end
        ASSERT_EQ(Run(*a, "*OPC?;*ESR?"), "1;1\n") << "round " << i;
    }
    EXPECT_EQ(Run(*a, "LIST:DWEL 10;INIT;*OPC;*RST;*ESR?;LIST:FREQ:POIN?"), "0;0\n");

    auto b = Client(2);
    Run(*b, "LIST:FREQ 1GHZ,2GHZ");
    EXPECT_EQ(Run(*a, "POW:ATT 5;LIST:FREQ 3GHZ;LIST:DWEL 10;INIT;SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(Run(*b, "*RST;*SAV 0;SYST:ERR:COUN?;LIST:FREQ:POIN?;SYST:ERR?"),
              "2;2;-221,\"Settings conflict; *RST: another connection's sweep is running on this "
              "unit\"\n");
    for (int i = 0; i < 2000 && Run(*b, "FREQ?") != "3000000000\n"; ++i) {
        std::this_thread::sleep_for(5ms);  // the sweep's first point
    }
    EXPECT_EQ(Run(*a, "ABOR;*OPC?;FREQ?;SYST:ERR?"), "1;3000000000;0,\"No error\"\n");
}

// A wait gives way to the next line: -410, and the line answers nothing.
TEST_F(Served, NewLineInterruptsAWait)
{
    auto a = Client(1);
    Run(*a, "LIST:FREQ 1GHZ;LIST:DWEL 10");
    for (const char *wait : {"INIT;*OPC?", "INIT;*WAI;FREQ?"}) {
        EXPECT_EQ(a->Execute(wait, [] { return Instrument::Waiting::kNewMessage; }), "") << wait;
        EXPECT_TRUE(StartsWith(Run(*a, "SYST:ERR?"), "-410,\"Query INTERRUPTED; ")) << wait;
        Run(*a, "ABOR");
    }
}

// A setting is read, changed and written back: when the read fails, at
// any of its exchanges, nothing is written and the command fails with the
// call and its status named.
TEST_F(Served, FailedReadBackWritesNothing)
{
    auto a = Client(1);
    Run(*a, "FREQ 2GHZ;POW:ATT 4");
    const auto state = [&] {
        std::vector<std::uint32_t> words;
        for (int r = 0; r < 8; ++r) {
            words.push_back(vsim_get_register(id_, r));
        }
        for (const std::uint16_t address : {45, 83, 84}) {
            words.push_back(vsim_get_memory(id_, address));
        }
        return words;
    };
    const std::vector<std::uint32_t> before = state();
    for (const char *change : {"FREQ 3GHZ", "POW:ATT 8", "POW 1", "VONT:MODE 2", "VONT:SWIT 1",
                               "VONT:FLAG:A ON", "VONT:TRIM:A 3", "VONT:STOR 9"}) {
        for (long nth = 1; nth <= 13; ++nth) {
            vsim_fail_call("FT_Read", nth, FT_IO_ERROR);
            Run(*a, change);
            vsim_clear_faults();
            const std::string error = Run(*a, "SYST:ERR?");
            const std::string header = std::string(change).substr(0, std::string(change).find(' '));
            EXPECT_TRUE(StartsWith(error, "-240,\"Hardware error; " + header +
                                              ": unit 4660: Vontrel_ReadStatus: FT_IO_ERROR"))
                << change << " read " << nth << ": " << error;
            EXPECT_EQ(state(), before) << change << " read " << nth;
            EXPECT_EQ(Run(*a, "FREQ?"), "2000000000\n");  // open again
        }
    }
    // The list sweep reads the settings once, before its first point.
    Run(*a, "LIST:FREQ 3GHZ,4GHZ;LIST:DWEL 0");
    for (long nth = 1; nth <= 13; ++nth) {
        vsim_fail_call("FT_Read", nth, FT_IO_ERROR);
        EXPECT_EQ(Run(*a, "INIT;*OPC?"), "1\n");
        vsim_clear_faults();
        const std::string error = Run(*a, "SYST:ERR?");
        EXPECT_TRUE(StartsWith(error,
                               "-240,\"Hardware error; list point 1: unit 4660: "
                               "Vontrel_ReadStatus: FT_IO_ERROR"))
            << "read " << nth << ": " << error;
        EXPECT_EQ(state(), before) << "read " << nth;
        EXPECT_EQ(Run(*a, "FREQ?"), "2000000000\n");
    }
}

// One session holds the unit's lock: the others' commands that change the
// unit are refused with -203, their queries and their own settings run;
// the lock goes with RELease, and with the session.
TEST_F(Served, LockOfOneSessionProtectsTheUnitFromTheOthers)
{
    auto a = Client(1);
    auto b = Client(2);
    const struct {
        Instrument *in;
        const char *line, *answer;
    } steps[] = {
        {a.get(), "SYST:LOCK:OWN?", "\"NONE\""},
        {a.get(), "SYST:LOCK:REQ?;REQ?;:FREQ 1GHZ", "1;1"},
        {b.get(), "SYST:LOCK:REQ?;OWN?", "0;\"client\""},
        {b.get(), "FREQ 2GHZ;POW:ATT 3;*RST;FREQ?;SYST:ERR:COUN?", "1000000000;3"},
        {b.get(), "SYST:ERR?", "-203,\"Command protected; FREQ: unit 4660 is locked by client\""},
        {b.get(), "*CLS;*ESE 4;LIST:FREQ 2GHZ;*IDN?;SYST:ERR:COUN?;SYST:LOCK:REL",
         "Vontrel,Synthesizer,4660,2.4;0"},
        {a.get(), "FREQ 1.5GHZ;FREQ?", "1500000000"},
        {a.get(), "SYST:LOCK:REL;:SYST:LOCK:OWN?", "\"NONE\""},
        {b.get(), "SYST:LOCK:REQ?;:FREQ 2GHZ;FREQ?", "1;2000000000"},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(Run(*step.in, step.line), step.answer + std::string(step.answer[0] ? "\n" : ""))
            << step.line;
    }
    b.reset();  // the holder goes: its lock with it
    EXPECT_EQ(Run(*a, "SYST:LOCK:REQ?"), "1\n");
    EXPECT_TRUE(Instrument::ChangesUnit("*CLS;FREQ 1GHZ"));
    EXPECT_FALSE(Instrument::ChangesUnit("FREQ?;*CLS;LIST:FREQ 1GHZ;FOO 3"));
}

// Session ids are shared by every front end, and the lock waits for its
// holder with a time-out.
TEST(SessionLock, WaitsForItsHolderAndIdsNeverRepeat)
{
    const service::ConnectionId first = service::NewSessionId();
    const service::ConnectionId second = service::NewSessionId();
    EXPECT_NE(first, service::kNoSweep);
    EXPECT_GT(second, first);
    service::SessionLock lock;
    ASSERT_TRUE(lock.TryLock(first, "first"));
    EXPECT_FALSE(lock.MayChange(second));
    EXPECT_FALSE(lock.Unlock(second));
    const auto start = Clock::now();
    EXPECT_FALSE(lock.Lock(second, "second", 50ms));
    EXPECT_GE(Clock::now() - start, 50ms);
    std::thread release([&] {
        std::this_thread::sleep_for(50ms);
        lock.Unlock(first);
    });
    EXPECT_TRUE(lock.Lock(second, "second", 5s));
    release.join();
    EXPECT_EQ(lock.Holder(), "second");
    EXPECT_TRUE(lock.WaitUntilFree(second, 0ms));
    EXPECT_FALSE(lock.WaitUntilFree(first, 10ms));
}

// What the web pages wait on: the unit's change count moves once per line
// that changes the unit, and never for one that only reads it or is
// refused before it reaches the unit.
TEST_F(Served, ChangeCountMovesOncePerChangingLine)
{
    auto a = Client(1);
    struct Case {
        const char *line;
        std::uint64_t changes;
    } cases[] = {
        {"FREQ?;POW?;VONT:LOCK?;*IDN?", 0},
        {"FREQ 2e9", 1},
        {"FREQ 2e9;VONT:FLAG:A 1;VONT:TRIM:A 7", 1},
        {"POW 999", 0},      // outside every unit's range: refused before the unit
        {"VONT:MODE 9", 0},  // likewise
        {"*SAV 0", 1},
        {"*RST", 1},
        {"SYST:ERR:ALL?", 0},
    };
    for (const Case &c : cases) {
        const std::uint64_t before = owner_->changes();
        Run(*a, c.line);
        EXPECT_EQ(owner_->changes() - before, c.changes) << c.line;
    }
}

TEST_F(Served, ChangeWakesWhoWaitsAndSweepPointsCarryLockTime)
{
    const std::uint64_t seen = owner_->changes();
    auto a = Client(1);
    std::thread other([&] {
        std::this_thread::sleep_for(50ms);
        Run(*a, "FREQ 3e9");
    });
    const auto start = Clock::now();
    EXPECT_GT(owner_->WaitForChange(seen, 5s), seen);
    EXPECT_LT(Clock::now() - start, 1s);
    other.join();

    std::vector<std::pair<double, bool>> points;  // MHz, locked
    std::promise<bool> ended;  // whether the sweep still ran when it said it had ended
    a->ObservePoints(
        [&](std::size_t, double mhz, std::optional<double> lock_ms) {
            points.emplace_back(mhz, lock_ms.has_value() && *lock_ms >= 0.0);
        },
        [&] { ended.set_value(a->Sweeping()); });
    const std::uint64_t before = owner_->changes();
    EXPECT_EQ(Run(*a, "LIST:FREQ 1e9,2e9;:LIST:DWEL 0;:FREQ:MODE LIST;:INIT;*OPC?"), "1\n");
    EXPECT_EQ(points, (std::vector<std::pair<double, bool>>{{1000.0, true}, {2000.0, true}}));
    auto told = ended.get_future();
    ASSERT_EQ(told.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(told.get());
    // Taken, two points, given back.
    EXPECT_EQ(owner_->changes() - before, 4U);
}

}  // namespace
}  // namespace vontrel::serve
