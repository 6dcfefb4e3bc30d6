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
    b.add(
        "[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]",
        [](Call &c) {
            c.Args(1, 1);
            const Value v = ReadValue(c.Param(0), Quantity::kPlain);
            if (v.word == Value::Word::kNone) {
                CheckedLevel(v.number);
            }
            c.Change([&](Settings &s, const Status &before) {
                s.level = v.Or(before.level_min, before.level_max);
                s.mode = vontrel::Mode::kMode3;
            });
        },
        [](Call &c) {
            c.Args(0, 1);
            const Status s = c.Read();
            c.response = FormatNumber(c.Count() == 0                              ? s.level
                                      : ReadWord(c.Param(0)) == Value::Word::kMin ? s.level_min
                                                                                  : s.level_max);
        });
    b.changes();
    b.add("[SOURce:]POWer:RANGe", nullptr, [](Call &c) {
        c.Args(0, 0);
        const Status s = c.Read();
        c.response = FormatNumber(s.level_min) + "," + FormatNumber(s.level_max);
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
    b.table.push_back(List("[SOURce:]LIST:FREQuency", &service::SweepPlan::frequencies_mhz,
                           CheckedFrequency, FormatHz));
    b.table.push_back(
        Points("[SOURce:]LIST:FREQuency:POINts", &service::SweepPlan::frequencies_mhz));
    b.table.push_back(List(
        "[SOURce:]LIST:POWer", &service::SweepPlan::levels,
        [](const Parameter &p) {
            const Value v = ReadValue(p, Quantity::kPlain);
            if (v.word != Value::Word::kNone) {
                throw Error(scpi::kIllegalParameterValue,
                            "a list level is a number; the range depends on the frequency");
            }
            return CheckedLevel(v.number);
        },
        FormatNumber));
    b.table.push_back(Points("[SOURce:]LIST:POWer:POINts", &service::SweepPlan::levels));
    b.table.push_back(
        List("[SOURce:]LIST:DWELl", &service::SweepPlan::dwells_s, CheckedDwell, FormatNumber));
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
    b.add(
        "INITiate:CONTinuous",
        [](Call &c) {
            c.Args(1, 1);
            const bool on = CheckedBoolean(c.Param(0));
            const bool was = std::exchange(c.in.setup_.continuous, on);
            c.in.sweep_.SetContinuous(on);
            if (on && !c.in.sweep_.Running()) {
                try {
                    c.in.StartSweep(c);
                } catch (...) {
                    c.in.setup_.continuous = was;  // refused as INITiate is
                    throw;
                }
            }
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.setup_.continuous ? "1" : "0";
        });
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
}

}  // namespace vontrel::serve
