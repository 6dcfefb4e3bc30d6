// SPDX-License-Identifier: MIT
// What the command table's groups share: the friend of Instrument through
// which commands reach its registers, the handlers that many commands are
// made of, and the builder each group adds its commands with.
#ifndef VONTREL_FRONTENDS_SCPI_COMMANDS_H
#define VONTREL_FRONTENDS_SCPI_COMMANDS_H

#include <fmt/format.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "frontends/net/visa_resources.h"
#include "frontends/scpi/command_table.h"
#include "frontends/scpi/scpi_values.h"
#include "include/vontrel_limits.h"
#include "service/level_policy.h"

namespace vontrel::serve {

using scpi::Error;
using scpi::Parameter;
using scpi::Quantity;

// Adds commands to the table, in the order their headers are tried.
struct TableBuilder {
    std::vector<Instrument::Command> &table;

    void add(const char *pattern, std::function<void(Instrument::Call &)> set,
             std::function<void(Instrument::Call &)> query)
    {
        table.push_back({scpi::HeaderPattern(pattern), std::move(set), std::move(query)});
    }
    // The command just added changes the unit.
    void changes() { table.back().changes_unit = true; }
};

// The command table. A friend of Instrument, so that the commands reach
// its registers. Each group of commands is added by a file of its own.
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

    static void AddCommon(TableBuilder &b);
    static void AddSystem(TableBuilder &b);
    static void AddSource(TableBuilder &b);
    static void AddOutput(TableBuilder &b);
    static void AddVontrel(TableBuilder &b);
};

}  // namespace vontrel::serve

#endif
