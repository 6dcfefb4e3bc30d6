// SPDX-License-Identifier: MIT
// The command table of the SCPI instrument and what each command does.
#include "frontends/scpi/command_table.h"

#include <fmt/format.h>

#include <cmath>

#include "frontends/net/visa_resources.h"
#include "frontends/scpi/scpi_values.h"
#include "include/vontrel_limits.h"
#include "service/level_policy.h"

namespace vontrel::serve {

using scpi::Error;
using scpi::Parameter;
using scpi::Quantity;

std::string HeaderText(const scpi::ProgramUnit &unit)
{
    std::string text = unit.common ? "*" : "";
    for (std::size_t i = 0; i < unit.nodes.size(); ++i) {
        text += (i > 0 ? ":" : "") + unit.nodes[i];
    }
    return text + (unit.query ? "?" : "");
}

// The command table. A friend of Instrument, so that the commands reach
// its registers.
struct Commands {
    using Command = Instrument::Command;
    using Call = Instrument::Call;

    // A setting of the unit given as a whole number from 0 to max, or as
    // a switch.
    static Command Setting(const char *pattern, int max, bool boolean,
                           std::function<void(vontrel::Settings &, int)> set,
                           std::function<int(const vontrel::Status &)> get)
    {
        return {scpi::HeaderPattern(pattern),
                [=](Call &c) {
                    c.Args(1, 1);
                    const int v = boolean ? CheckedBoolean(c.Param(0)) ? 1 : 0
                                          : CheckedInteger(c.Param(0), 0, max, pattern);
                    c.Change([&](vontrel::Settings &s, const vontrel::Status &) { set(s, v); });
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = std::to_string(get(c.Read()));
                },
                true};
    }

    static Command Flag(const char *pattern, bool vontrel::Settings::*field)
    {
        return Setting(
            pattern, 1, true, [=](vontrel::Settings &s, int v) { s.*field = v != 0; },
            [=](const vontrel::Status &s) { return static_cast<int>(s.*field); });
    }

    // A byte setting; a trim set by hand turns auto trim off.
    static Command Byte(const char *pattern, std::uint8_t vontrel::Settings::*field,
                        bool manual_trim)
    {
        return Setting(
            pattern, VONTREL_BYTE_MAX, false,
            [=](vontrel::Settings &s, int v) {
                s.*field = static_cast<std::uint8_t>(v);
                s.auto_trim = s.auto_trim && !manual_trim;
            },
            [=](const vontrel::Status &s) { return static_cast<int>(s.*field); });
    }

    // A register of this connection, 0 to max.
    static Command Register(const char *pattern, int max, int Instrument::*field)
    {
        return {scpi::HeaderPattern(pattern),
                [=](Call &c) {
                    c.Args(1, 1);
                    c.in.*field = CheckedInteger(c.Param(0), 0, max, pattern);
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = std::to_string(c.in.*field);
                }};
    }

    // A list of values for the list sweep.
    static Command List(const char *pattern, std::vector<double> service::SweepPlan::*list,
                        double (*check)(const Parameter &), std::string (*format)(double))
    {
        return {scpi::HeaderPattern(pattern),
                [=](Call &c) {
                    c.Args(1, c.Count());
                    std::vector<double> values;
                    values.reserve(c.Count());
                    for (const Parameter &p : c.unit.parameters) {
                        values.push_back(check(p));
                    }
                    c.in.setup_.lists.*list = std::move(values);
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = Join(c.in.setup_.lists.*list, format);
                }};
    }

    static Command Points(const char *pattern, std::vector<double> service::SweepPlan::*list)
    {
        return {scpi::HeaderPattern(pattern), nullptr, [=](Call &c) {
                    c.Args(0, 0);
                    c.response = std::to_string((c.in.setup_.lists.*list).size());
                }};
    }

    // *RST, SYSTem:PRESet: refused whole while another connection's sweep
    // runs; otherwise a pending *OPC is forgotten (the sweep stopped here
    // does not complete it), this connection's sweep stops, its sweep
    // settings return to their defaults, and the unit to its preset.
    static void Preset(Call &c)
    {
        c.Args(0, 0);
        const service::ConnectionId sweeper = c.line.Get().sweeper();
        if (sweeper != service::kNoSweep && sweeper != c.in.id_) {
            throw Error(scpi::kSettingsConflict,
                        "another connection's sweep is running on this unit");
        }
        c.in.status_.CancelOperationComplete();
        c.in.StopOwnSweep(c);
        c.in.setup_ = SweepSetup{};
        c.Changing().Call([](vontrel::Unit &u) { u.preset(); });
    }

    // A value of this connection's step sweep, checked by `check`.
    static Command Step(const char *pattern, double (*check)(const Parameter &),
                        std::string (*format)(double), void (*set)(StepSweep &, double),
                        double (*get)(const StepSweep &))
    {
        return {scpi::HeaderPattern(pattern),
                [=](Call &c) {
                    c.Args(1, 1);
                    StepSweep step = c.in.setup_.step;
                    set(step, check(c.Param(0)));
                    CheckStepSweep(step);
                    c.in.setup_.step = step;
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = format(get(c.in.setup_.step));
                }};
    }

    // Start and stop (and so center and span) stay within the unit's range.
    static void CheckStepSweep(const StepSweep &step)
    {
        for (const double mhz : {step.start_mhz, step.stop_mhz}) {
            CheckRange(mhz, VONTREL_FREQ_MIN_MHZ, VONTREL_FREQ_MAX_MHZ,
                       "a sweep from " + FormatHz(step.start_mhz) + " to " +
                           FormatHz(step.stop_mhz) + " Hz",
                       fmt::format("{} to {} Hz", FormatHz(VONTREL_FREQ_MIN_MHZ),
                                   FormatHz(VONTREL_FREQ_MAX_MHZ)));
        }
    }

    // A span or step: a frequency difference, in Hz.
    static double CheckedSpan(const Parameter &p)
    {
        constexpr double kMaxSpan = VONTREL_FREQ_MAX_MHZ - VONTREL_FREQ_MIN_MHZ;
        const double mhz = ReadValue(p, Quantity::kFrequency).Or(0.0, kMaxSpan);
        CheckRange(mhz, 0.0, kMaxSpan, FormatHz(mhz) + " Hz",
                   fmt::format("0 to {} Hz", FormatHz(kMaxSpan)));
        return mhz;
    }

    // *LRN?: the commands that bring the unit back to the settings it
    // holds now, on one line.
    static std::string Learn(const vontrel::Status &s)
    {
        std::string line = fmt::format(":FREQ {}", FormatHz(s.frequency_mhz));
        if (s.output_switch != vontrel::Switch::kUnknown) {
            line += fmt::format(";:VONT:SWIT {}", static_cast<int>(s.output_switch));
        }
        line += fmt::format(";:VONT:FLAG:A {:d};:VONT:FLAG:B {:d};:VONT:FLAG:C {:d};:VONT:STOR {}",
                            s.flag_a, s.flag_b, s.flag_c, s.stored_setting);
        line += s.auto_trim ? std::string(";:VONT:TRIM:AUTO 1")
                            : fmt::format(";:VONT:TRIM:A {};:VONT:TRIM:B {}", s.trim_a, s.trim_b);
        line += s.mode == vontrel::Mode::kMode3
                    ? fmt::format(";:POW {}", FormatNumber(s.level))
                    : fmt::format(";:POW:ATT {};:VONT:MODE {}", FormatNumber(s.attenuation),
                                  static_cast<int>(s.mode));
        return line;
    }

    static int PresetRegister(Call &c)
    {
        c.Args(1, 1);
        const double v = ReadValue(c.Param(0), Quantity::kPlain).Or(0.0, 0.0);
        if (v != 0.0) {
            throw Error(scpi::kDataOutOfRange,
                        fmt::format("register {}: the unit keeps one user preset, 0", v));
        }
        return 0;
    }

    static const std::vector<Command> &Table();
};

const std::vector<Instrument::Command> &Commands::Table()
{
    using vontrel::Settings;
    using vontrel::Status;
    static const std::vector<Command> table = [] {
        std::vector<Command> t;
        auto add = [&t](const char *pattern, std::function<void(Call &)> set,
                        std::function<void(Call &)> query) {
            t.push_back({scpi::HeaderPattern(pattern), std::move(set), std::move(query)});
        };
        // The command just added changes the unit.
        auto changes = [&t] { t.back().changes_unit = true; };

        // --- IEEE 488.2 common commands ---
        add("*IDN", nullptr, [](Call &c) {
            c.Args(0, 0);
            const vontrel::Info info = c.OnUnit([](vontrel::Unit &u) { return u.info(); });
            c.response =
                fmt::format("{},{},{},{}", kMaker, kModel, info.serial, Printable(info.firmware));
        });
        add("*RST", Preset, nullptr);
        changes();
        add(
            "*CLS",
            [](Call &c) {
                c.Args(0, 0);
                c.in.status_.Clear();
                c.in.ques_event_ = 0;
            },
            nullptr);
        add(
            "*ESE",
            [](Call &c) {
                c.Args(1, 1);
                c.in.ese_ = static_cast<std::uint8_t>(CheckedInteger(c.Param(0), 0, 255, "*ESE"));
            },
            [](Call &c) {
                c.Args(0, 0);
                c.response = std::to_string(c.in.ese_);
            });
        add("*ESR", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.status_.TakeEsr());
        });
        add(
            "*SRE",
            [](Call &c) {
                c.Args(1, 1);
                c.in.sre_ = static_cast<std::uint8_t>(CheckedInteger(c.Param(0), 0, 255, "*SRE") &
                                                      ~kStbRequestService);
            },
            [](Call &c) {
                c.Args(0, 0);
                c.response = std::to_string(c.in.sre_);
            });
        add("*STB", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.StatusByte());
        });
        add(
            "*OPC",
            [](Call &c) {
                c.Args(0, 0);
                c.in.status_.ArmOperationComplete();
            },
            [](Call &c) {
                c.Args(0, 0);
                c.in.WaitForSweep(c);
                c.response = "1";
            });
        add(
            "*WAI",
            [](Call &c) {
                c.Args(0, 0);
                c.in.WaitForSweep(c);
            },
            nullptr);
        add("*TST", nullptr, [](Call &c) {
            c.Args(0, 0);
            try {
                c.OnUnit([](vontrel::Unit &u) { return u.locked(); });
                c.response = "0";
            } catch (const std::system_error &e) {
                c.in.status_.Push(scpi::kSelfTestFailed,
                                  fmt::format("unit {}: {}", c.in.owner_.serial(), e.what()));
                c.response = "1";
            }
        });
        add("*OPT", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = "0";  // no options
        });
        add("*LRN", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = Learn(c.Read());
        });
        add(
            "*TRG",
            [](Call &c) {
                c.Args(0, 0);
                if (!c.in.sweep_.Trigger()) {
                    throw Error(scpi::kTriggerIgnored,
                                "no sweep of this connection waits for a trigger");
                }
            },
            nullptr);
        add(
            "*SAV",
            [](Call &c) {
                PresetRegister(c);
                // Not during a sweep: it would keep one of the sweep's points.
                c.Changing().Call([](vontrel::Unit &u) { u.save_user_preset(); });
            },
            nullptr);
        changes();
        add(
            "*RCL",
            [](Call &c) {
                PresetRegister(c);
                c.Changing().Call([](vontrel::Unit &u) { u.preset(); });
            },
            nullptr);
        changes();

        // --- SYSTem and STATus ---
        add("SYSTem:ERRor[:NEXT]", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.status_.Next();
        });
        add("SYSTem:ERRor:ALL", nullptr, [](Call &c) {
            c.Args(0, 0);
            std::string all = c.in.status_.Next();
            for (std::size_t n = c.in.status_.Count(); n > 0; --n) {
                all += "," + c.in.status_.Next();
            }
            c.response = all;
        });
        add("SYSTem:ERRor:COUNt", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.status_.Count());
        });
        add("SYSTem:VERSion", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = "1999.0";
        });
        add("SYSTem:PRESet", Preset, nullptr);
        changes();
        // The unit's lock, shared with every other front end (VXI-11's
        // device_lock takes the same one).
        add("SYSTem:LOCK:REQuest", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.owner_.session_lock().TryLock(c.in.id_, c.in.who_) ? "1" : "0";
        });
        add(
            "SYSTem:LOCK:RELease",
            [](Call &c) {
                c.Args(0, 0);
                c.in.owner_.session_lock().Unlock(c.in.id_);  // nothing to do when not held
            },
            nullptr);
        add("SYSTem:LOCK:OWNer", nullptr, [](Call &c) {
            c.Args(0, 0);
            const std::string holder = c.in.owner_.session_lock().Holder();
            c.response = fmt::format(R"("{}")", holder.empty() ? "NONE" : Printable(holder));
        });
        add("STATus:QUEStionable[:EVENt]", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.in.SampleQuestionable(c);
            c.response = std::to_string(std::exchange(c.in.ques_event_, 0));
        });
        add("STATus:QUEStionable:CONDition", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.SampleQuestionable(c));
        });
        t.push_back(
            Register("STATus:QUEStionable:ENABle", kScpiRegisterMask, &Instrument::ques_enable_));
        add("STATus:OPERation[:EVENt]", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.in.SampleOperation();
            c.response = std::to_string(std::exchange(c.in.oper_event_, 0));
        });
        add("STATus:OPERation:CONDition", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.SampleOperation());
        });
        t.push_back(
            Register("STATus:OPERation:ENABle", kScpiRegisterMask, &Instrument::oper_enable_));
        add(
            "STATus:PRESet",
            [](Call &c) {
                c.Args(0, 0);
                c.in.ques_enable_ = 0;
                c.in.oper_enable_ = 0;
            },
            nullptr);

        // --- SOURce ---
        add(
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
        changes();
        add(
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
                c.response =
                    FormatNumber(c.Count() == 0                              ? s.level
                                 : ReadWord(c.Param(0)) == Value::Word::kMin ? s.level_min
                                                                             : s.level_max);
            });
        changes();
        add("[SOURce:]POWer:RANGe", nullptr, [](Call &c) {
            c.Args(0, 0);
            const Status s = c.Read();
            c.response = FormatNumber(s.level_min) + "," + FormatNumber(s.level_max);
        });
        add(
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
        changes();
        t.push_back(List("[SOURce:]LIST:FREQuency", &service::SweepPlan::frequencies_mhz,
                         CheckedFrequency, FormatHz));
        t.push_back(Points("[SOURce:]LIST:FREQuency:POINts", &service::SweepPlan::frequencies_mhz));
        t.push_back(List(
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
        t.push_back(Points("[SOURce:]LIST:POWer:POINts", &service::SweepPlan::levels));
        t.push_back(
            List("[SOURce:]LIST:DWELl", &service::SweepPlan::dwells_s, CheckedDwell, FormatNumber));
        t.push_back(Points("[SOURce:]LIST:DWELl:POINts", &service::SweepPlan::dwells_s));
        add(
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
        t.push_back(Step(
            "[SOURce:]FREQuency:STARt", CheckedFrequency, FormatHz,
            [](StepSweep &s, double v) { s.start_mhz = v; },
            [](const StepSweep &s) { return s.start_mhz; }));
        t.push_back(Step(
            "[SOURce:]FREQuency:STOP", CheckedFrequency, FormatHz,
            [](StepSweep &s, double v) { s.stop_mhz = v; },
            [](const StepSweep &s) { return s.stop_mhz; }));
        t.push_back(Step(
            "[SOURce:]FREQuency:CENTer", CheckedFrequency, FormatHz,
            [](StepSweep &s, double v) {
                const double half = (s.stop_mhz - s.start_mhz) / 2;
                s.start_mhz = v - half;
                s.stop_mhz = v + half;
            },
            [](const StepSweep &s) { return (s.start_mhz + s.stop_mhz) / 2; }));
        t.push_back(Step(
            "[SOURce:]FREQuency:SPAN", CheckedSpan, FormatHz,
            [](StepSweep &s, double v) {
                const double center = (s.start_mhz + s.stop_mhz) / 2;
                s.start_mhz = center - v / 2;
                s.stop_mhz = center + v / 2;
            },
            [](const StepSweep &s) { return s.stop_mhz - s.start_mhz; }));
        add(
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
        add(
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
                c.response =
                    FormatHz(std::fabs(step.stop_mhz - step.start_mhz) / (step.points - 1));
            });
        t.push_back(Step(
            "[SOURce:]SWEep:DWELl", CheckedDwell, FormatNumber,
            [](StepSweep &s, double v) { s.dwell_s = v; },
            [](const StepSweep &s) { return s.dwell_s; }));
        add(
            "TRIGger[:SEQuence]:SOURce",
            [](Call &c) {
                c.Args(1, 1);
                c.in.setup_.bus_trigger = CheckedWord(c.Param(0), {"IMMediate", "BUS"}) == "BUS";
            },
            [](Call &c) {
                c.Args(0, 0);
                c.response = c.in.setup_.bus_trigger ? "BUS" : "IMM";
            });
        add(
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
        changes();
        add(
            "INITiate[:IMMediate]",
            [](Call &c) {
                c.Args(0, 0);
                c.in.StartSweep(c);
            },
            nullptr);
        changes();
        add(
            "ABORt",
            [](Call &c) {
                c.Args(0, 0);
                c.in.StopOwnSweep(c);
            },
            nullptr);
        // The unit's output has no switch: it is always on. Drivers that
        // turn it on before use, or read whether it is on, get what holds.
        add(
            "OUTPut[:STATe]",
            [](Call &c) {
                c.Args(1, 1);
                if (!CheckedBoolean(c.Param(0))) {
                    throw Error(scpi::kHardwareMissing,
                                "the unit's output has no switch and is always on; "
                                "POW:ATT MAX gives the lowest level");
                }
            },
            [](Call &c) {
                c.Args(0, 0);
                c.response = "1";
            });

        // --- VONTrel: the unit's own settings ---
        t.push_back(Setting(
            "VONTrel:MODE", VONTREL_MODE_MAX, false,
            [](Settings &s, int v) { s.mode = static_cast<vontrel::Mode>(v); },
            [](const Status &s) { return static_cast<int>(s.mode); }));
        t.push_back(Setting(
            "VONTrel:SWITch", VONTREL_SWITCH_MAX, false,
            [](Settings &s, int v) { s.output_switch = static_cast<vontrel::Switch>(v); },
            [](const Status &s) { return static_cast<int>(s.output_switch); }));
        t.push_back(Flag("VONTrel:FLAG:A", &Settings::flag_a));
        t.push_back(Flag("VONTrel:FLAG:B", &Settings::flag_b));
        t.push_back(Flag("VONTrel:FLAG:C", &Settings::flag_c));
        t.push_back(Byte("VONTrel:TRIM:A", &Settings::trim_a, true));
        t.push_back(Byte("VONTrel:TRIM:B", &Settings::trim_b, true));
        t.push_back(Flag("VONTrel:TRIM:AUTO", &Settings::auto_trim));
        t.push_back(Byte("VONTrel:STORed", &Settings::stored_setting, false));
        add("VONTrel:LOCK", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.SampleQuestionable(c) == 0 ? "1" : "0";
        });
        add("VONTrel:INFO", nullptr, [](Call &c) {
            c.Args(0, 0);
            const vontrel::Info info = c.OnUnit([](vontrel::Unit &u) { return u.info(); });
            c.response =
                fmt::format(R"("{}","{}","{}")", Printable(std::string(1, info.hardware_revision)),
                            Printable(info.calibration_date), Printable(info.if_band));
        });
        return t;
    }();
    return table;
}

const std::vector<Instrument::Command> &CommandTable()
{
    return Commands::Table();
}

}  // namespace vontrel::serve
