// SPDX-License-Identifier: MIT
// SOURce: frequency, level and attenuation, the step and list sweeps, triggering.
#include "frontends/scpi/commands.h"

namespace vontrel::serve {

void Commands::AddSource(TableBuilder &b)
{
    using vontrel::Settings;
    using vontrel::Status;
    b.add(
        "[SOURce:]FREQuency[:CW|:FIXed]",
        [](Call &c) {
            c.Args(1, 1);
            const double mhz = CheckedFrequency(c.Param(0));
            c.Change([&](Settings &s, const Status &) { s.frequency_mhz = mhz; });
        },
        [](Call &c) {
            c.Args(0, 1);
            c.response = c.Count() == 0 ? FormatHz(c.Read().frequency_mhz)
                                        : FormatHz(ReadWord(c.Param(0)) == Value::Word::kMin
                                                       ? VONTREL_FREQ_MIN_MHZ
                                                       : VONTREL_FREQ_MAX_MHZ);
        });
    b.changes();
    // Levels are in dBm for a unit with a level calibration, else in its
    // own level units (UNIT:POWer? says which).
    b.add(
        "[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]",
        [](Call &c) {
            c.Args(1, 1);
            const Value v = LevelParameter(c, c.Param(0), true);
            c.Change([&](Settings &s, const Status &before) {
                s.level = v.Or(before.level_min, before.level_max);
                s.mode = vontrel::Mode::kMode3;
            });
        },
        [](Call &c) {
            c.Args(0, 1);
            const Status s = c.Read();
            c.response = FormatLevel(c, c.Count() == 0                              ? s.level
                                        : ReadWord(c.Param(0)) == Value::Word::kMin ? s.level_min
                                                                                    : s.level_max);
        });
    b.changes();
    b.add("[SOURce:]POWer:RANGe", nullptr, [](Call &c) {
        c.Args(0, 0);
        const Status s = c.Read();
        c.response = FormatLevel(c, s.level_min) + "," + FormatLevel(c, s.level_max);
    });
    b.add(
        "UNIT:POWer",
        [](Call &c) {
            c.Args(1, 1);
            const bool dbm = c.Scale().dbm();
            if (c.Param(0).kind == Parameter::Kind::kCharacter && c.Param(0).text == "DBM" &&
                !dbm) {
                throw Error(scpi::kIllegalParameterValue,
                            service::NoLevelCalibration(c.in.owner_.serial()));
            }
            if (CheckedWord(c.Param(0), {"DBM", "LEVel"}) != (dbm ? "DBM" : "LEV")) {
                throw Error(scpi::kIllegalParameterValue,
                            "the level of a unit with a level calibration is in DBM");
            }
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = c.Scale().dbm() ? "DBM" : "LEV";
        });
    b.add(
        "[SOURce:]POWer:ATTenuation",
        [](Call &c) {
            c.Args(1, 1);
            const double atten = CheckedAttenuation(c.Param(0));
            c.Change([&](Settings &s, const Status &) {
                s.attenuation = atten;
                if (s.mode == vontrel::Mode::kMode3) {
                    s.mode = vontrel::Mode::kMode1;  // mode 3 would ignore it
                }
            });
        },
        [](Call &c) {
            c.Args(0, 1);
            c.response =
                FormatNumber(c.Count() == 0                              ? c.Read().attenuation
                             : ReadWord(c.Param(0)) == Value::Word::kMin ? 0.0
                                                                         : VONTREL_ATTEN_MAX);
        });
    b.changes();
    const auto frequency = [](Call &, const Parameter &p) { return CheckedFrequency(p); };
    const auto hz = [](Call &, double mhz) { return FormatHz(mhz); };
    b.table.push_back(
        List("[SOURce:]LIST:FREQuency", &service::SweepPlan::frequencies_mhz, frequency, hz));
    b.table.push_back(
        Points("[SOURce:]LIST:FREQuency:POINts", &service::SweepPlan::frequencies_mhz));
    b.table.push_back(List(
        "[SOURce:]LIST:POWer", &service::SweepPlan::levels,
        [](Call &c, const Parameter &p) { return LevelParameter(c, p, false).number; },
        FormatLevel));
    b.table.push_back(Points("[SOURce:]LIST:POWer:POINts", &service::SweepPlan::levels));
    b.table.push_back(List(
        "[SOURce:]LIST:DWELl", &service::SweepPlan::dwells_s,
        [](Call &, const Parameter &p) { return CheckedDwell(p); },
        [](Call &, double s) { return FormatNumber(s); }));
    b.table.push_back(Points("[SOURce:]LIST:DWELl:POINts", &service::SweepPlan::dwells_s));
    b.add(
        "[SOURce:]FREQuency:MODE",
        [](Call &c) {
            c.Args(1, 1);
            const std::string mode = CheckedWord(c.Param(0), {"CW", "FIXed", "SWEep", "LIST"});
            c.in.setup_.mode = mode == "SWE"    ? FrequencyMode::kSweep
                               : mode == "LIST" ? FrequencyMode::kList
                                                : FrequencyMode::kFixed;
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.setup_.mode == FrequencyMode::kSweep  ? "SWE"
                         : c.in.setup_.mode == FrequencyMode::kList ? "LIST"
                                                                    : "CW";
        });
    b.table.push_back(Step(
        "[SOURce:]FREQuency:STARt", CheckedFrequency, FormatHz,
        [](StepSweep &s, double v) { s.start_mhz = v; },
        [](const StepSweep &s) { return s.start_mhz; }));
    b.table.push_back(Step(
        "[SOURce:]FREQuency:STOP", CheckedFrequency, FormatHz,
        [](StepSweep &s, double v) { s.stop_mhz = v; },
        [](const StepSweep &s) { return s.stop_mhz; }));
    b.table.push_back(Step(
        "[SOURce:]FREQuency:CENTer", CheckedFrequency, FormatHz,
        [](StepSweep &s, double v) {
            const double half = (s.stop_mhz - s.start_mhz) / 2;
            s.start_mhz = v - half;
            s.stop_mhz = v + half;
        },
        [](const StepSweep &s) { return (s.start_mhz + s.stop_mhz) / 2; }));
    b.table.push_back(Step(
        "[SOURce:]FREQuency:SPAN", CheckedSpan, FormatHz,
        [](StepSweep &s, double v) {
            const double center = (s.start_mhz + s.stop_mhz) / 2;
            s.start_mhz = center - v / 2;
            s.stop_mhz = center + v / 2;
        },
        [](const StepSweep &s) { return s.stop_mhz - s.start_mhz; }));
    b.add(
        "[SOURce:]SWEep:POINts",
        [](Call &c) {
            c.Args(1, 1);
            c.in.setup_.step.points =
                CheckedInteger(c.Param(0), 2, VONTREL_SWEEP_POINTS_MAX, "SWEep:POINts");
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.setup_.step.points);
        });
    b.add(
        "[SOURce:]SWEep:STEP",
        [](Call &c) {
            c.Args(1, 1);
            StepSweep &step = c.in.setup_.step;
            const double mhz = CheckedSpan(c.Param(0));
            const double span = std::fabs(step.stop_mhz - step.start_mhz);
            const double points = mhz > 0.0 ? std::floor(span / mhz + 1e-9) + 1 : 0.0;
            CheckRange(points, 2, VONTREL_SWEEP_POINTS_MAX,
                       fmt::format("a step of {} Hz over {} Hz", FormatHz(mhz), FormatHz(span)),
                       fmt::format("2 to {} points", VONTREL_SWEEP_POINTS_MAX));
            step.points = static_cast<int>(points);
        },
        [](Call &c) {
            c.Args(0, 0);
            const StepSweep &step = c.in.setup_.step;
            c.response = FormatHz(std::fabs(step.stop_mhz - step.start_mhz) / (step.points - 1));
        });
    b.table.push_back(Step(
        "[SOURce:]SWEep:DWELl", CheckedDwell, FormatNumber,
        [](StepSweep &s, double v) { s.dwell_s = v; },
        [](const StepSweep &s) { return s.dwell_s; }));
    b.add(
        "TRIGger[:SEQuence]:SOURce",
        [](Call &c) {
            c.Args(1, 1);
            c.in.setup_.bus_trigger = CheckedWord(c.Param(0), {"IMMediate", "BUS"}) == "BUS";
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.setup_.bus_trigger ? "BUS" : "IMM";
        });
    const auto continuous = [](Call &c) {
        c.Args(0, 0);
        c.response = c.in.setup_.continuous ? "1" : "0";
    };
    b.add("INITiate:CONTinuous", SetContinuous, continuous);
    b.changes();
    b.add("[SOURce:]SWEep:CONTinuous[:STATe]", SetContinuous, continuous);
    b.changes();
    b.add(
        "INITiate[:IMMediate]",
        [](Call &c) {
            c.Args(0, 0);
            c.in.StartSweep(c);
        },
        nullptr);
    b.changes();
    b.add(
        "ABORt",
        [](Call &c) {
            c.Args(0, 0);
            c.in.StopOwnSweep(c);
        },
        nullptr);
    // A single sweep at once: this connection's sweep stops, and starts again.
    b.add(
        "[SOURce:]TSWeep",
        [](Call &c) {
            c.Args(0, 0);
            c.in.StopOwnSweep(c);
            c.in.StartSweep(c);
        },
        nullptr);
    b.changes();
    AddSweepModes(b);
}

void Commands::AddSweepModes(TableBuilder &b)
{
    // The server steps every sweep by itself, point after point at the
    // dwell (or at each *TRG with TRIGger:SOURce BUS).
    b.table.push_back(OnlyWord("[SOURce:]SWEep:GENeration", {"STEPped", "ANALog"}, "STEP",
                               "the unit steps from point to point; it has no analog ramp"));
    b.table.push_back(OnlyWord("[SOURce:]SWEep:MODE", {"AUTO", "MANual"}, "AUTO",
                               "the server steps the sweep by itself (TRIGger:SOURce BUS steps "
                               "it at each *TRG); there is no manual choice of point"));
    b.table.push_back(OnlyWord("[SOURce:]LIST:MODE", {"AUTO", "MANual"}, "AUTO",
                               "the server steps the list by itself (TRIGger:SOURce BUS steps "
                               "it at each *TRG); there is no manual choice of point"));
    b.add("[SOURce:]SWEep:TIME", nullptr, [](Call &c) {
        c.Args(0, 0);
        const StepSweep &step = c.in.setup_.step;
        c.response = FormatNumber(step.points * step.dwell_s);
    });
    b.add(
        "[SOURce:]LIST:RETRace",
        [](Call &c) {
            c.Args(1, 1);
            c.in.setup_.retrace = CheckedBoolean(c.Param(0));
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.setup_.retrace ? "1" : "0";
        });
    // The level sweep: from POWer:STARt to POWer:STOP over SWEep:POINts.
    b.add(
        "[SOURce:]POWer:MODE",
        [](Call &c) {
            c.Args(1, 1);
            c.in.setup_.power_mode = CheckedWord(c.Param(0), {"FIXed", "SWEep"}) == "SWE"
                                         ? PowerMode::kSweep
                                         : PowerMode::kFixed;
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.setup_.power_mode == PowerMode::kSweep ? "SWE" : "FIX";
        });
    for (const auto end : {&StepSweep::start_level, &StepSweep::stop_level}) {
        b.add(
            end == &StepSweep::start_level ? "[SOURce:]POWer:STARt" : "[SOURce:]POWer:STOP",
            [end](Call &c) {
                c.Args(1, 1);
                c.in.setup_.step.*end = LevelParameter(c, c.Param(0), false).number;
            },
            [end](Call &c) {
                c.Args(0, 0);
                c.response = FormatLevel(c, c.in.setup_.step.*end);
            });
    }
}

}  // namespace vontrel::serve
