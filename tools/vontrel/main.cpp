// SPDX-License-Identifier: MIT
// vontrel: find, inspect and program synthesizer units from the shell.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "include/vontrel.hpp"
#include "tools/vontrel/checks.h"
#include "tools/vontrel/commands.h"
#include "tools/vontrel/doctor.h"
#include "tools/vontrel/output.h"
#include "tools/vontrel/report.h"
#include "tools/vontrel/serve_command.h"

namespace {

using vontrel::service::Change;
using vontrel::tool::UsageError;

using vontrel::tool::kExitUsage;

constexpr double kDefaultLockTimeout = VONTREL_LOCK_TIMEOUT_DEFAULT_S;

constexpr const char *kExitCodes =
    "Exit status:\n"
    "  0  success\n"
    "  1  failure: no unit, a unit in use by another program, a D2XX call failed (the\n"
    "     status is named, e.g. FT_IO_ERROR (4)), the unit did not lock, --unit matched\n"
    "     no unit, a sweep point failed, or the output could not be written\n"
    "  2  usage error: the command line (or the simulator's bench description) was\n"
    "     refused before anything was sent";

// Numbers on the command line are decimal: no hexadecimal, inf or nan.
const CLI::Validator kDecimal(
    [](std::string &text) {
        return vontrel::tool::ParseDecimal(text)
                   ? std::string()
                   : "'" + vontrel::tool::Printable(text) + "' is not a decimal number";
    },
    "");

// Raw option values as CLI11 fills them; checked into a Change afterwards.
struct SetArgs {
    std::optional<double> freq, level, atten, mode, sw, trim_a, trim_b, stored;
    std::optional<std::string> flag_a, flag_b, flag_c, auto_trim;
};

// `all`: every setting (set); else the level and attenuation a sweep holds
// at each of its frequencies.
void AddSettingOptions(CLI::App *cmd, SetArgs &a, bool all)
{
    if (all) {
        cmd->add_option("--freq", a.freq, "output frequency, 300 to 5000 MHz")
            ->type_name("MHZ")
            ->check(kDecimal);
    }
    cmd->add_option("--level", a.level,
                    "output level in level units, steps of 0.25; runs the unit in mode 3")
        ->type_name("LEVEL")
        ->check(kDecimal);
    cmd->add_option("--atten", a.atten,
                    "attenuation, 0 to 31.75 in steps of 0.25; a unit in mode 3 goes to mode 1")
        ->type_name("ATTEN")
        ->check(kDecimal);
    if (!all) {
        return;
    }
    cmd->add_option("--mode", a.mode, "mode, 0 to 3 (3: the level sets the attenuation)")
        ->type_name("0..3")
        ->check(kDecimal);
    cmd->add_option("--switch", a.sw, "switch position, 0 to 4")
        ->type_name("0..4")
        ->check(kDecimal);
    cmd->add_option("--flag-a", a.flag_a, "flag A, on|off")->type_name("on|off");
    cmd->add_option("--flag-b", a.flag_b, "flag B, on|off")->type_name("on|off");
    cmd->add_option("--flag-c", a.flag_c, "flag C, on|off")->type_name("on|off");
    cmd->add_option("--trim-a", a.trim_a, "trim A, 0 to 255 (turns auto trim off)")
        ->type_name("0..255")
        ->check(kDecimal);
    cmd->add_option("--trim-b", a.trim_b, "trim B, 0 to 255 (turns auto trim off)")
        ->type_name("0..255")
        ->check(kDecimal);
    cmd->add_option("--auto-trim", a.auto_trim,
                    "on|off: take the trims from the calibration tables")
        ->type_name("on|off");
    cmd->add_option("--stored-setting", a.stored, "the stored setting byte, 0 to 255")
        ->type_name("0..255")
        ->check(kDecimal);
}

Change CheckSetArgs(const SetArgs &a)
{
    using namespace vontrel::tool;  // NOLINT(google-build-using-namespace)
    Change c;
    if (a.freq) {
        CheckFrequency("--freq", *a.freq);
        c.frequency_mhz = *a.freq;
    }
    if (a.level) {
        CheckLevel(*a.level);
        c.level = *a.level;
    }
    if (a.atten) {
        CheckAttenuation(*a.atten);
        c.attenuation = *a.atten;
    }
    auto integer = [](const char *option, const std::optional<double> &v, int min, int max,
                      std::optional<int> &out) {
        if (v) {
            CheckInteger(option, *v, min, max);
            out = static_cast<int>(*v);
        }
    };
    integer("--mode", a.mode, 0, VONTREL_MODE_MAX, c.mode);
    integer("--switch", a.sw, 0, VONTREL_SWITCH_MAX, c.output_switch);
    integer("--trim-a", a.trim_a, 0, VONTREL_BYTE_MAX, c.trim_a);
    integer("--trim-b", a.trim_b, 0, VONTREL_BYTE_MAX, c.trim_b);
    integer("--stored-setting", a.stored, 0, VONTREL_BYTE_MAX, c.stored_setting);
    auto on_off = [](const char *option, const std::optional<std::string> &v,
                     std::optional<bool> &out) {
        if (v) {
            out = ParseOnOff(option, *v);
        }
    };
    on_off("--flag-a", a.flag_a, c.flag_a);
    on_off("--flag-b", a.flag_b, c.flag_b);
    on_off("--flag-c", a.flag_c, c.flag_c);
    on_off("--auto-trim", a.auto_trim, c.auto_trim);

    if (c.level && c.mode && *c.mode != VONTREL_MODE_LEVEL) {
        throw UsageError("--level takes effect only in mode 3; drop --mode or use --atten");
    }
    if (c.level && c.attenuation) {
        throw UsageError(
            "--level and --atten exclude each other: in mode 3 the level sets the "
            "attenuation");
    }
    if (c.attenuation && c.mode && *c.mode == VONTREL_MODE_LEVEL) {
        throw UsageError("--atten takes effect only in modes 0 to 2; in mode 3 use --level");
    }
    if ((c.trim_a || c.trim_b) && c.auto_trim && *c.auto_trim) {
        throw UsageError(
            "--trim-a/--trim-b are ignored with --auto-trim on; give one or the other");
    }
    return c;
}

// A command's exit status, once what it printed has reached its reader.
int Done(int exit_status)
{
    vontrel::tool::FlushStandardOutput();
    return exit_status;
}

}  // namespace

int main(int argc, char **argv)
{
    // A closed pipe on standard output, or a file grown past its size limit,
    // is a write error to report, not a reason to die in the middle of an
    // exchange.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"Find, inspect and program Vontrel synthesizer units.", "vontrel"};
    app.set_version_flag("--version", fmt::format("vontrel {} (libvontrel {})",
                                                  VONTREL_VERSION_STRING, VONTREL_VERSION_STRING));
    app.require_subcommand(1);
    app.footer(kExitCodes);

    std::string unit_text;
    bool json = false;
    double wait_unit = VONTREL_UNIT_WAIT_DEFAULT_S;
    app.add_option("--unit", unit_text, "the unit to use: serial:N or index:N")->type_name("SEL");
    app.add_flag("--json", json, "machine-readable output");
    app.add_option("--wait-unit", wait_unit,
                   "wait up to SECONDS for a unit that another program has open (default 1)")
        ->type_name("SECONDS")
        ->check(kDecimal);

    auto *list = app.add_subcommand("list", "list every unit: index, serial, firmware, hardware");
    auto *info = app.add_subcommand("info", "identity block of one unit");
    auto *status = app.add_subcommand("status", "the whole read-back state and lock");
    bool timing = false;
    status->add_flag("--timing", timing,
                     "also print each call's exchanges with the unit and the time they took");
    auto *set = app.add_subcommand("set", "read-modify-write the unit's settings");
    SetArgs set_args;
    AddSettingOptions(set, set_args, true);
    double set_wait = kDefaultLockTimeout;
    auto *wait_lock = set->add_option("--wait-lock", set_wait,
                                      "then poll lock detect up to TIMEOUT seconds (default 1)")
                          ->expected(0, 1)
                          ->default_str("1")
                          ->type_name("[TIMEOUT]")
                          ->check(kDecimal);

    auto *lock = app.add_subcommand("lock", "lock state (exit 1 when not locked)");
    double lock_wait = kDefaultLockTimeout;
    auto *wait =
        lock->add_option("--wait", lock_wait, "poll up to TIMEOUT seconds (default 1) until locked")
            ->expected(0, 1)
            ->default_str("1")
            ->type_name("[TIMEOUT]")
            ->check(kDecimal);
    auto *preset = app.add_subcommand("preset", "restore the user preset (or power-up settings)");
    auto *save = app.add_subcommand("save-preset", "save the current settings as the user preset");

    auto *doctor = app.add_subcommand("doctor", "what stands between this user and the units");
    auto *sweep = app.add_subcommand("sweep", "program a list of frequencies, checking lock");
    std::optional<double> start, stop, step;
    std::string list_file, output, format;
    double dwell_ms = 0.0;
    double lock_timeout = kDefaultLockTimeout;
    SetArgs sweep_args;
    auto *o_start = sweep->add_option("--start", start, "first frequency, MHz")->check(kDecimal);
    auto *o_stop = sweep->add_option("--stop", stop, "last frequency, MHz")->check(kDecimal);
    auto *o_step = sweep->add_option("--step", step, "step, MHz")->check(kDecimal);
    auto *o_list = sweep->add_option("--list", list_file, "file with one frequency (MHz) a line");
    o_list->excludes(o_start)->excludes(o_stop)->excludes(o_step);
    sweep->add_option("--dwell-ms", dwell_ms, "time to stay on each point, ms (default 0)")
        ->check(kDecimal);
    sweep
        ->add_option("--lock-timeout", lock_timeout,
                     "how long to wait for lock per point, seconds (default 1)")
        ->check(kDecimal);
    AddSettingOptions(sweep, sweep_args, false);
    auto *o_output = sweep->add_option(
        "-o,--output", output, "write each point to FILE as it is measured (CSV, or JSON Lines)");
    sweep
        ->add_option("--format", format,
                     "csv or json (default: json for FILE.json or .jsonl, else csv)")
        ->check(CLI::IsMember({"csv", "json"}));

    vontrel::serve::Options serve_options;
    CLI::App *serve = vontrel::serve::AddCommand(app, serve_options);

    for (CLI::App *sub : app.get_subcommands({})) {
        sub->fallthrough();
        sub->footer(kExitCodes);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);  // --help, --version
        }
        const bool json_asked = std::any_of(
            argv + 1, argv + argc, [](const char *a) { return std::strcmp(a, "--json") == 0; });
        return vontrel::tool::ReportUsage(json_asked, e.what());
    }

    vontrel::tool::Globals globals;
    globals.json = json;
    try {
        // Everything on the command line is checked before a unit is opened.
        if (!unit_text.empty()) {
            globals.unit = vontrel::tool::ParseUnitSelector(unit_text);
        }
        vontrel::tool::CheckSeconds("--wait-unit", wait_unit);
        globals.wait_unit_s = wait_unit;
        if (*list) {
            return Done(vontrel::tool::List(globals));
        }
        if (*doctor) {
            return Done(vontrel::tool::Doctor(json));
        }
        if (*info) {
            return Done(vontrel::tool::Info(globals));
        }
        if (*status) {
            return Done(vontrel::tool::Status(globals, timing));
        }
        if (*set) {
            const Change change = CheckSetArgs(set_args);
            if (vontrel::service::IsEmpty(change)) {
                throw UsageError(
                    "set needs a setting to change (see 'vontrel set --help'); to wait for lock, "
                    "use 'vontrel lock --wait'");
            }
            vontrel::tool::CheckSeconds("--wait-lock", set_wait);
            return Done(vontrel::tool::Set(
                globals, change, wait_lock->count() > 0 ? std::optional(set_wait) : std::nullopt));
        }
        if (*lock) {
            vontrel::tool::CheckSeconds("--wait", lock_wait);
            return Done(vontrel::tool::Lock(
                globals, wait->count() > 0 ? std::optional(lock_wait) : std::nullopt));
        }
        if (*preset) {
            return Done(vontrel::tool::Preset(globals));
        }
        if (*save) {
            return Done(vontrel::tool::SavePreset(globals));
        }
        if (*serve) {
            return vontrel::serve::Run(globals, serve_options);
        }
        if (*sweep) {
            vontrel::tool::SweepOptions o;
            if ((o_list->count() > 0 && list_file.empty()) ||
                (o_output->count() > 0 && output.empty())) {
                throw UsageError("--list and -o take a file name, not an empty text");
            }
            if (!list_file.empty()) {
                o.points = vontrel::tool::ReadPointList(list_file);
            } else if (start && stop && step) {
                o.points = vontrel::tool::SweepPoints(*start, *stop, *step);
            } else {
                throw UsageError("sweep needs --start, --stop and --step, or --list FILE");
            }
            if (!(dwell_ms >= 0.0 && dwell_ms <= VONTREL_DWELL_MAX_S * 1000.0)) {
                throw UsageError(fmt::format("--dwell-ms {} is not a time from 0 to {} ms",
                                             dwell_ms, VONTREL_DWELL_MAX_S * 1000.0));
            }
            vontrel::tool::CheckSeconds("--lock-timeout", lock_timeout);
            o.dwell_s = dwell_ms / 1000.0;
            o.lock_timeout_s = lock_timeout;
            o.change = CheckSetArgs(sweep_args);
            o.output = output;
            o.format = !format.empty()                                           ? format
                       : output.ends_with(".json") || output.ends_with(".jsonl") ? "json"
                                                                                 : "csv";
            return Done(vontrel::tool::Sweep(globals, o));
        }
    } catch (...) {
        return vontrel::tool::ReportFailure(json, std::current_exception());
    }
    return kExitUsage;
}
