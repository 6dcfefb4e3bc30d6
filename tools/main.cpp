// vontrel: find, inspect and program synthesizer units from the shell.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "include/vontrel.hpp"
#include "tools/checks.h"
#include "tools/commands.h"
#include "tools/serve/serve.h"

namespace {

using vontrel::tool::Change;
using vontrel::tool::UsageError;

constexpr int kExitDevice = 1;
constexpr int kExitUsage = 2;
constexpr double kDefaultLockTimeout = 2.0;

constexpr const char *kExitCodes =
    "Exit status:\n"
    "  0  success\n"
    "  1  device or link failure: no unit, a D2XX call failed (the status is named,\n"
    "     e.g. FT_IO_ERROR (4)), the unit did not lock, or --unit matched no unit\n"
    "  2  usage error: the command line was refused before anything was sent";

// Raw option values as CLI11 fills them; checked into a Change afterwards.
struct SetArgs {
    std::optional<double> freq, level, atten, mode, sw, trim_a, trim_b, stored;
    std::optional<std::string> flag_a, flag_b, flag_c, auto_trim;
};

void AddSettingOptions(CLI::App *cmd, SetArgs &a, bool all)
{
    cmd->add_option("--freq", a.freq, "output frequency, 300 to 5000 MHz")->type_name("MHZ");
    cmd->add_option("--level", a.level,
                    "output level in level units, steps of 0.25; runs the unit in mode 3")
        ->type_name("LEVEL");
    cmd->add_option("--atten", a.atten,
                    "attenuation, 0 to 31.75 in steps of 0.25; a unit in mode 3 goes to mode 1")
        ->type_name("ATTEN");
    if (!all) {
        return;
    }
    cmd->add_option("--mode", a.mode, "mode, 0 to 3 (3: the level sets the attenuation)")
        ->type_name("0..3");
    cmd->add_option("--switch", a.sw, "switch position, 0 to 4")->type_name("0..4");
    cmd->add_option("--flag-a", a.flag_a, "flag A, on|off")->type_name("on|off");
    cmd->add_option("--flag-b", a.flag_b, "flag B, on|off")->type_name("on|off");
    cmd->add_option("--flag-c", a.flag_c, "flag C, on|off")->type_name("on|off");
    cmd->add_option("--trim-a", a.trim_a, "trim A, 0 to 255 (turns auto trim off)")
        ->type_name("0..255");
    cmd->add_option("--trim-b", a.trim_b, "trim B, 0 to 255 (turns auto trim off)")
        ->type_name("0..255");
    cmd->add_option("--auto-trim", a.auto_trim,
                    "on|off: take the trims from the calibration tables")
        ->type_name("on|off");
    cmd->add_option("--stored-setting", a.stored, "the stored setting byte, 0 to 255")
        ->type_name("0..255");
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

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path);
    if (!in) {
        throw UsageError(fmt::format("cannot read the point list {}", path));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string CallName(const std::system_error &e)
{
    std::string what = e.what();
    const std::string suffix = ": " + e.code().message();
    if (what.size() > suffix.size() &&
        what.compare(what.size() - suffix.size(), suffix.size(), suffix) == 0) {
        what.resize(what.size() - suffix.size());
    }
    return what;
}

void ReportJsonError(bool json, const std::string &message, int status)
{
    if (!json) {
        return;
    }
    nlohmann::ordered_json j{{"error", message}};
    if (status >= 0) {
        j["status"] = status;
        j["status_name"] = vontrel_status_name(static_cast<unsigned long>(status));
    }
    fmt::print("{}\n", j.dump(2));
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Find, inspect and program Vontrel synthesizer units.", "vontrel"};
    app.set_version_flag("--version", fmt::format("vontrel {} (libvontrel {})",
                                                  VONTREL_VERSION_STRING, VONTREL_VERSION_STRING));
    app.require_subcommand(1);
    app.footer(kExitCodes);

    std::string unit_text;
    bool json = false;
    app.add_option("--unit", unit_text, "the unit to use: serial:N or index:N")->type_name("SEL");
    app.add_flag("--json", json, "machine-readable output");

    auto *list = app.add_subcommand("list", "list every unit: index, serial, firmware, hardware");
    auto *info = app.add_subcommand("info", "identity block of one unit");
    auto *status = app.add_subcommand("status", "the whole read-back state and lock");
    auto *set = app.add_subcommand("set", "read-modify-write the unit's settings");
    SetArgs set_args;
    AddSettingOptions(set, set_args, true);
    double set_wait = kDefaultLockTimeout;
    auto *wait_lock = set->add_option("--wait-lock", set_wait,
                                      "then poll lock detect up to TIMEOUT seconds (default 2)")
                          ->expected(0, 1)
                          ->default_str("2")
                          ->type_name("[TIMEOUT]");

    auto *lock = app.add_subcommand("lock", "lock state (exit 1 when not locked)");
    double lock_wait = kDefaultLockTimeout;
    auto *wait =
        lock->add_option("--wait", lock_wait, "poll up to TIMEOUT seconds (default 2) until locked")
            ->expected(0, 1)
            ->default_str("2")
            ->type_name("[TIMEOUT]");
    auto *preset = app.add_subcommand("preset", "restore the user preset (or power-up settings)");
    auto *save = app.add_subcommand("save-preset", "save the current settings as the user preset");

    auto *sweep = app.add_subcommand("sweep", "program a list of frequencies, checking lock");
    std::optional<double> start, stop, step;
    std::string list_file, output, format;
    double dwell_ms = 0.0;
    double lock_timeout = 1.0;
    SetArgs sweep_args;
    auto *o_start = sweep->add_option("--start", start, "first frequency, MHz");
    auto *o_stop = sweep->add_option("--stop", stop, "last frequency, MHz");
    auto *o_step = sweep->add_option("--step", step, "step, MHz");
    auto *o_list = sweep->add_option("--list", list_file, "file with one frequency (MHz) a line");
    o_list->excludes(o_start)->excludes(o_stop)->excludes(o_step);
    sweep->add_option("--dwell", dwell_ms, "time to stay on each point, ms (default 0)");
    sweep->add_option("--lock-timeout", lock_timeout,
                      "how long to wait for lock per point, seconds (default 1)");
    AddSettingOptions(sweep, sweep_args, false);
    sweep->add_option("-o,--output", output, "write the points to FILE");
    sweep->add_option("--format", format, "csv or json (default: from FILE's extension, else csv)")
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
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    }

    vontrel::tool::Globals globals;
    globals.json = json;
    try {
        // Everything on the command line is checked before a unit is opened.
        if (!unit_text.empty()) {
            globals.unit = vontrel::tool::ParseUnitSelector(unit_text);
        }
        if (*list) {
            return vontrel::tool::List(globals);
        }
        if (*info) {
            return vontrel::tool::Info(globals);
        }
        if (*status) {
            return vontrel::tool::Status(globals);
        }
        if (*set) {
            const Change change = CheckSetArgs(set_args);
            if (wait_lock->count() > 0 && !(set_wait >= 0.0)) {
                throw UsageError("--wait-lock takes a timeout of 0 seconds or more");
            }
            return vontrel::tool::Set(
                globals, change, wait_lock->count() > 0 ? std::optional(set_wait) : std::nullopt);
        }
        if (*lock) {
            if (wait->count() > 0 && !(lock_wait >= 0.0)) {
                throw UsageError("--wait takes a timeout of 0 seconds or more");
            }
            return vontrel::tool::Lock(globals,
                                       wait->count() > 0 ? std::optional(lock_wait) : std::nullopt);
        }
        if (*preset) {
            return vontrel::tool::Preset(globals);
        }
        if (*save) {
            return vontrel::tool::SavePreset(globals);
        }
        if (*serve) {
            return vontrel::serve::Run(globals.unit, serve_options);
        }
        if (*sweep) {
            vontrel::tool::SweepOptions o;
            if (!list_file.empty()) {
                o.points = vontrel::tool::ParsePointList(ReadFile(list_file), list_file);
            } else if (start && stop && step) {
                o.points = vontrel::tool::SweepPoints(*start, *stop, *step);
            } else {
                throw UsageError("sweep needs --start, --stop and --step, or --list FILE");
            }
            if (!(dwell_ms >= 0.0 && dwell_ms <= 3'600'000.0)) {
                throw UsageError("--dwell takes 0 to 3600000 ms");
            }
            if (!(lock_timeout >= 0.0)) {
                throw UsageError("--lock-timeout takes 0 seconds or more");
            }
            o.dwell_ms = dwell_ms;
            o.lock_timeout_s = lock_timeout;
            o.change = CheckSetArgs(sweep_args);
            o.output = output;
            o.format = !format.empty()                                  ? format
                       : output.size() > 5 && output.ends_with(".json") ? "json"
                                                                        : "csv";
            return vontrel::tool::Sweep(globals, o);
        }
    } catch (const UsageError &e) {
        fmt::print(stderr, "vontrel: {}\nRun with --help for more information.\n", e.what());
        ReportJsonError(json, e.what(), -1);
        return kExitUsage;
    } catch (const std::system_error &e) {
        const int code = e.code().value();
        const std::string message =
            fmt::format("{} failed: {} ({}): {}", CallName(e),
                        vontrel_status_name(static_cast<unsigned long>(code)), code,
                        vontrel_status_message(static_cast<unsigned long>(code)));
        fmt::print(stderr, "vontrel: {}\n", message);
        if (const std::string hint = vontrel::tool::HintFor(code); !hint.empty()) {
            fmt::print(stderr, "  try: {}\n", hint);
        }
        ReportJsonError(json, message, code);
        return kExitDevice;
    } catch (const vontrel::tool::DeviceError &e) {
        fmt::print(stderr, "vontrel: {}\n", e.what());
        if (!e.hint().empty()) {
            fmt::print(stderr, "  try: {}\n", e.hint());
        }
        ReportJsonError(json, e.what(), -1);
        return kExitDevice;
    } catch (const std::exception &e) {
        fmt::print(stderr, "vontrel: {}\n", e.what());
        ReportJsonError(json, e.what(), -1);
        return kExitDevice;
    }
    return kExitUsage;
}
