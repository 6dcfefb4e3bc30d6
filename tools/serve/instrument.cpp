// The command tree of the SCPI instrument and what each command does.
#include "tools/serve/instrument.h"

#include <fmt/format.h>

#include <cmath>

#include "include/vontrel_limits.h"
#include "tools/serve/level_policy.h"

namespace vontrel::serve {
namespace {

using scpi::Error;
using scpi::Parameter;
using scpi::Quantity;

// The unit's lock for one line, taken when a command first needs the unit
// and held to the end of the line, so that the line runs as one.
class LineUnit {
public:
    explicit LineUnit(UnitOwner &owner) : owner_(owner) {}
    UnitOwner::Access &Get()
    {
        if (!access_) {
            access_.emplace(owner_);
        }
        return *access_;
    }
    void Release() { access_.reset(); }

private:
    UnitOwner &owner_;
    std::optional<UnitOwner::Access> access_;
};

// Thrown when a wait for the list sweep is given up.
struct Interruption {};

constexpr auto kWaitPoll = std::chrono::milliseconds(100);

constexpr std::uint8_t kStbErrorQueue = 1U << 2;
constexpr std::uint8_t kStbQuestionable = 1U << 3;
constexpr std::uint8_t kStbEventStatus = 1U << 5;
constexpr std::uint8_t kStbRequestService = 1U << 6;
constexpr int kQuesMask = 0x7FFF;  // the 15 bits of a questionable register

std::string HeaderText(const scpi::ProgramUnit &unit)
{
    std::string text = unit.common ? "*" : "";
    for (std::size_t i = 0; i < unit.nodes.size(); ++i) {
        text += (i > 0 ? ":" : "") + unit.nodes[i];
    }
    return text + (unit.query ? "?" : "");
}

std::string FormatNumber(double v)
{
    return fmt::format("{}", v == 0.0 ? 0.0 : v);
}

// Frequencies are answered in Hz, the SCPI default unit, to the millihertz.
std::string FormatHz(double mhz)
{
    return FormatNumber(std::round(mhz * 1e9) / 1e3);
}

std::string Printable(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        out += c >= 0x20 && c < 0x7f && c != ',' && c != ';' && c != '"' ? c : '_';
    }
    return out;
}

// A numeric parameter, or one of the words standing for a value.
struct Value {
    enum class Word { kNone, kMin, kMax, kDef } word = Word::kNone;
    double number = 0.0;

    double Or(double min, double max, double def = 0.0) const
    {
        return word == Word::kMin   ? min
               : word == Word::kMax ? max
               : word == Word::kDef ? def
                                    : number;
    }
};

Value ReadValue(const Parameter &p, Quantity quantity, bool def_allowed = false)
{
    Value v;
    switch (p.kind) {
        case Parameter::Kind::kString:
            throw Error(scpi::kDataTypeError, "a string is not a number");
        case Parameter::Kind::kCharacter:
            if (p.text == "MIN" || p.text == "MINIMUM") {
                v.word = Value::Word::kMin;
            } else if (p.text == "MAX" || p.text == "MAXIMUM") {
                v.word = Value::Word::kMax;
            } else if (def_allowed && (p.text == "DEF" || p.text == "DEFAULT")) {
                v.word = Value::Word::kDef;
            } else {
                throw Error(scpi::kIllegalParameterValue,
                            p.text + " is not a value here; give a number, MIN or MAX");
            }
            return v;
        case Parameter::Kind::kNumber:
            v.number = scpi::NumericValue(p, quantity);
            return v;
    }
    return v;
}

// The word MIN or MAX as a query's parameter.
Value::Word ReadWord(const Parameter &p)
{
    const Value v =
        p.kind == Parameter::Kind::kCharacter ? ReadValue(p, Quantity::kPlain) : Value{};
    if (v.word == Value::Word::kNone) {
        throw Error(scpi::kIllegalParameterValue, "a query takes MIN or MAX here");
    }
    return v.word;
}

void CheckRange(double v, double min, double max, const std::string &shown,
                const std::string &range)
{
    if (!(v >= min && v <= max)) {
        throw Error(scpi::kDataOutOfRange, shown + " is outside " + range);
    }
}

void CheckStep(double v, const std::string &shown)
{
    const double steps = v / VONTREL_LEVEL_STEP;
    if (steps != std::floor(steps)) {
        throw Error(scpi::kIllegalParameterValue,
                    fmt::format("{} is not a multiple of {}", shown, VONTREL_LEVEL_STEP));
    }
}

double CheckedFrequency(const Parameter &p)
{
    const double mhz =
        ReadValue(p, Quantity::kFrequency).Or(VONTREL_FREQ_MIN_MHZ, VONTREL_FREQ_MAX_MHZ);
    CheckRange(
        mhz, VONTREL_FREQ_MIN_MHZ, VONTREL_FREQ_MAX_MHZ, FormatHz(mhz) + " Hz",
        fmt::format("{} to {} Hz", FormatHz(VONTREL_FREQ_MIN_MHZ), FormatHz(VONTREL_FREQ_MAX_MHZ)));
    return mhz;
}

// A level any unit may take; the unit's own range at its frequency is
// checked by the level policy.
double CheckedLevel(double level)
{
    const std::string shown = fmt::format("level {}", level);
    CheckRange(level, VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX, shown,
               fmt::format("{} to {}", VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX));
    CheckStep(level, shown);
    return level;
}

double CheckedAttenuation(const Parameter &p)
{
    const double atten = ReadValue(p, Quantity::kPlain).Or(0.0, VONTREL_ATTEN_MAX);
    const std::string shown = fmt::format("attenuation {}", atten);
    CheckRange(atten, 0.0, VONTREL_ATTEN_MAX, shown, fmt::format("0 to {}", VONTREL_ATTEN_MAX));
    CheckStep(atten, shown);
    return atten;
}

double CheckedDwell(const Parameter &p)
{
    const double s = ReadValue(p, Quantity::kTime, true).Or(0.0, kMaxDwellS, kDefaultDwellS);
    CheckRange(s, 0.0, kMaxDwellS, fmt::format("dwell {} s", s),
               fmt::format("0 to {} s", kMaxDwellS));
    return s;
}

int CheckedInteger(const Parameter &p, int max, const char *what)
{
    const double v = ReadValue(p, Quantity::kPlain).Or(0.0, max);
    CheckRange(v, 0.0, max, fmt::format("{} {}", what, v), fmt::format("0 to {}", max));
    if (v != std::floor(v)) {
        throw Error(scpi::kIllegalParameterValue, fmt::format("{} takes a whole number", what));
    }
    return static_cast<int>(v);
}

bool CheckedBoolean(const Parameter &p)
{
    if (p.kind == Parameter::Kind::kCharacter && (p.text == "ON" || p.text == "OFF")) {
        return p.text == "ON";
    }
    if (p.kind == Parameter::Kind::kNumber) {
        const double v = scpi::NumericValue(p, Quantity::kPlain);
        if (v == 0.0 || v == 1.0) {
            return v == 1.0;
        }
    }
    throw Error(scpi::kIllegalParameterValue, "a switch takes ON, OFF, 1 or 0");
}

template <typename T, typename F>
std::string Join(const std::vector<T> &values, F &&format)
{
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i > 0 ? "," : "") + format(values[i]);
    }
    return out;
}

}  // namespace

// One program unit being run.
struct Instrument::Call {
    Instrument &in;
    const scpi::ProgramUnit &unit;
    LineUnit &line;
    const Interrupted &interrupted;
    std::string response;

    const Parameter &Param(std::size_t i) const { return unit.parameters[i]; }
    std::size_t Count() const { return unit.parameters.size(); }

    void Args(std::size_t min, std::size_t max) const
    {
        if (Count() < min) {
            throw Error(scpi::kMissingParameter, HeaderText(unit) + " needs a parameter");
        }
        if (Count() > max) {
            throw Error(scpi::kParameterNotAllowed,
                        fmt::format("{} takes at most {} parameters", HeaderText(unit), max));
        }
    }

    template <typename F>
    decltype(auto) OnUnit(F &&f)
    {
        return line.Get().Call(std::forward<F>(f));
    }

    vontrel::Status Read()
    {
        return OnUnit([](vontrel::Unit &u) { return u.status(); });
    }

    // Refuses to change the unit while a list sweep runs on it.
    UnitOwner::Access &Changing()
    {
        UnitOwner::Access &access = line.Get();
        if (access.sweeper() != kNoSweep) {
            throw Error(scpi::kSettingsConflict,
                        access.sweeper() == in.id_
                            ? "this connection's list sweep is running; ABORt stops it"
                            : "another connection's list sweep is running on this unit");
        }
        return access;
    }

    // Read, edit, program: the settings read back with `edit` applied,
    // under the level policy.
    void Change(const std::function<void(vontrel::Settings &, const vontrel::Status &)> &edit)
    {
        Changing().Call([&](vontrel::Unit &u) {
            const vontrel::Status before = u.status();
            vontrel::Settings wanted = static_cast<const vontrel::Settings &>(before);
            edit(wanted, before);
            ApplyWithLevelPolicy(u, before, wanted);
        });
    }
};

struct Instrument::Command {
    scpi::HeaderPattern header;
    std::function<void(Call &)> set;
    std::function<void(Call &)> query;
};

// The command tree. A friend of Instrument, so that the commands reach its
// registers.
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
                                          : CheckedInteger(c.Param(0), max, pattern);
                    c.Change([&](vontrel::Settings &s, const vontrel::Status &) { set(s, v); });
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = std::to_string(get(c.Read()));
                }};
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
                    c.in.*field = CheckedInteger(c.Param(0), max, pattern);
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = std::to_string(c.in.*field);
                }};
    }

    // A list of values for the list sweep.
    static Command List(const char *pattern, std::vector<double> SweepPlan::*list,
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
                    c.in.lists_.*list = std::move(values);
                },
                [=](Call &c) {
                    c.Args(0, 0);
                    c.response = Join(c.in.lists_.*list, format);
                }};
    }

    static Command Points(const char *pattern, std::vector<double> SweepPlan::*list)
    {
        return {scpi::HeaderPattern(pattern), nullptr, [=](Call &c) {
                    c.Args(0, 0);
                    c.response = std::to_string((c.in.lists_.*list).size());
                }};
    }

    static void Preset(Call &c)
    {
        c.Args(0, 0);
        c.in.StopOwnSweep(c);
        c.in.lists_ = SweepPlan{{}, {}, {kDefaultDwellS}};
        c.Changing().Call([](vontrel::Unit &u) { u.preset(); });
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

        // --- IEEE 488.2 common commands ---
        add("*IDN", nullptr, [](Call &c) {
            c.Args(0, 0);
            const vontrel::Info info = c.OnUnit([](vontrel::Unit &u) { return u.info(); });
            c.response =
                fmt::format("Vontrel,Synthesizer,{},{}", info.serial, Printable(info.firmware));
        });
        add("*RST", Preset, nullptr);
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
                c.in.ese_ = static_cast<std::uint8_t>(CheckedInteger(c.Param(0), 255, "*ESE"));
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
                c.in.sre_ = static_cast<std::uint8_t>(CheckedInteger(c.Param(0), 255, "*SRE") &
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
                if (!c.in.sweep_.Running()) {
                    c.in.status_.OperationComplete();
                }
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
        add(
            "*SAV",
            [](Call &c) {
                PresetRegister(c);
                c.OnUnit([](vontrel::Unit &u) { u.save_user_preset(); });
            },
            nullptr);
        add(
            "*RCL",
            [](Call &c) {
                PresetRegister(c);
                c.Changing().Call([](vontrel::Unit &u) { u.preset(); });
            },
            nullptr);

        // --- SYSTem and STATus ---
        add("SYSTem:ERRor[:NEXT]", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = c.in.status_.Next();
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
        add("STATus:QUEStionable[:EVENt]", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.in.SampleQuestionable(c);
            c.response = std::to_string(std::exchange(c.in.ques_event_, 0));
        });
        add("STATus:QUEStionable:CONDition", nullptr, [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.SampleQuestionable(c));
        });
        t.push_back(Register("STATus:QUEStionable:ENABle", kQuesMask, &Instrument::ques_enable_));
        add(
            "STATus:PRESet",
            [](Call &c) {
                c.Args(0, 0);
                c.in.ques_enable_ = 0;
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
        t.push_back(List("[SOURce:]LIST:FREQuency", &SweepPlan::frequencies_mhz, CheckedFrequency,
                         FormatHz));
        t.push_back(Points("[SOURce:]LIST:FREQuency:POINts", &SweepPlan::frequencies_mhz));
        t.push_back(List(
            "[SOURce:]LIST:POWer", &SweepPlan::levels,
            [](const Parameter &p) {
                const Value v = ReadValue(p, Quantity::kPlain);
                if (v.word != Value::Word::kNone) {
                    throw Error(scpi::kIllegalParameterValue,
                                "a list level is a number; the range depends on the frequency");
                }
                return CheckedLevel(v.number);
            },
            FormatNumber));
        t.push_back(Points("[SOURce:]LIST:POWer:POINts", &SweepPlan::levels));
        t.push_back(List("[SOURce:]LIST:DWELl", &SweepPlan::dwells_s, CheckedDwell, FormatNumber));
        t.push_back(Points("[SOURce:]LIST:DWELl:POINts", &SweepPlan::dwells_s));
        add(
            "INITiate[:IMMediate]",
            [](Call &c) {
                c.Args(0, 0);
                c.in.StartSweep(c);
            },
            nullptr);
        add(
            "ABORt",
            [](Call &c) {
                c.Args(0, 0);
                c.in.StopOwnSweep(c);
            },
            nullptr);
        const auto no_output = [](Call &) {
            throw Error(scpi::kHardwareMissing,
                        "the unit has no RF output switch that the server could drive");
        };
        add("OUTPut[:STATe]", no_output, no_output);

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

Instrument::Instrument(UnitOwner &owner, ConnectionId id, std::string who, Log log,
                       const std::atomic<bool> &stopping)
    : owner_(owner),
      id_(id),
      stopping_(stopping),
      status_(std::move(who), std::move(log)),
      lists_{{}, {}, {kDefaultDwellS}}
{
}

Instrument::~Instrument()
{
    sweep_.Abort();
}

const Instrument::Command &Instrument::Resolve(const scpi::ProgramUnit &unit,
                                               std::vector<std::string> &path)
{
    const auto find = [&](const std::vector<std::string> &nodes) -> const Command * {
        for (const Command &command : Commands::Table()) {
            if (command.header.common() == unit.common && command.header.Matches(nodes)) {
                return &command;
            }
        }
        return nullptr;
    };
    // After a ';', a header that does not start with ':' continues from
    // the previous command's path; it may also name a command from the root.
    const Command *found = nullptr;
    std::vector<std::string> nodes = unit.nodes;
    if (!unit.common && !unit.absolute && !path.empty()) {
        std::vector<std::string> relative = path;
        relative.insert(relative.end(), unit.nodes.begin(), unit.nodes.end());
        if ((found = find(relative)) != nullptr) {
            nodes = std::move(relative);
        }
    }
    if (found == nullptr && (found = find(nodes)) == nullptr) {
        throw Error(scpi::kUndefinedHeader, HeaderText(unit));
    }
    if (!unit.common) {
        nodes.pop_back();
        path = std::move(nodes);
    }
    return *found;
}

std::string Instrument::Execute(std::string_view line, const Interrupted &interrupted)
{
    const scpi::ParsedLine parsed = scpi::ParseLine(line);
    if (parsed.units.size() > kMaxUnitsPerLine) {
        status_.Push(scpi::kTooMuchData,
                     fmt::format("a line holds at most {} commands, this one {}; none was run",
                                 kMaxUnitsPerLine, parsed.units.size()));
        return "";
    }
    LineUnit unit_lock(owner_);
    std::vector<std::string> path;
    std::string response;
    bool answered = false;
    for (const scpi::ProgramUnit &unit : parsed.units) {
        if (stopping_) {
            return "";
        }
        Call call{*this, unit, unit_lock, interrupted, {}};
        try {
            const Command &command = Resolve(unit, path);
            const auto &handler = unit.query ? command.query : command.set;
            if (!handler) {
                throw Error(
                    scpi::kUndefinedHeader,
                    HeaderText(unit) + (unit.query ? " has no query form" : " is a query only"));
            }
            handler(call);
            if (unit.query) {
                response += (answered ? ";" : "") + call.response;
                answered = true;
            }
        } catch (const Error &e) {
            status_.Push(e.code(), e.detail());  // the line was parsed whole: go on
        } catch (const std::system_error &e) {
            status_.Push(scpi::kHardwareError,
                         fmt::format("unit {}: {}", owner_.serial(), e.what()));
        } catch (const Interruption &) {
            return "";
        } catch (const std::exception &e) {
            status_.Push(scpi::kExecutionError, e.what());
        }
    }
    if (parsed.error) {
        status_.Push(parsed.error->code(), parsed.error->detail());
    }
    return answered ? response + "\n" : "";
}

void Instrument::WaitForSweep(Call &call)
{
    call.line.Release();  // the sweep needs the unit to get on
    while (!sweep_.WaitFor(kWaitPoll)) {
        if (stopping_ || (call.interrupted && call.interrupted())) {
            throw Interruption{};
        }
    }
}

void Instrument::StopOwnSweep(Call &call)
{
    call.line.Release();  // the sweep may be waiting for the unit
    sweep_.Abort();
}

void Instrument::StartSweep(Call &call)
{
    const std::size_t points = lists_.frequencies_mhz.size();
    if (points == 0) {
        throw Error(scpi::kSettingsConflict, "LIST:FREQuency holds no point");
    }
    const auto fits = [&](std::size_t n) { return n == 1 || n == points; };
    if (!lists_.levels.empty() && !fits(lists_.levels.size())) {
        throw Error(scpi::kSettingsConflict,
                    fmt::format("LIST:POWer has {} points, LIST:FREQuency {}", lists_.levels.size(),
                                points));
    }
    if (!fits(lists_.dwells_s.size())) {
        throw Error(scpi::kSettingsConflict,
                    fmt::format("LIST:DWELl has {} points, LIST:FREQuency {}",
                                lists_.dwells_s.size(), points));
    }
    if (sweep_.Running()) {
        throw Error(scpi::kInitIgnored, "this connection's list sweep is still running");
    }
    UnitOwner::Access &access = call.line.Get();
    if (access.sweeper() != kNoSweep) {
        throw Error(scpi::kInitIgnored, "another connection's list sweep is running on this unit");
    }
    access.set_sweeper(id_);
    sweep_.Start(
        owner_, id_, lists_,
        [this](int code, const std::string &detail) { status_.Push(code, detail); },
        [this] { status_.OperationComplete(); });
}

int Instrument::SampleQuestionable(Call &call)
{
    const bool locked = call.OnUnit([](vontrel::Unit &u) { return u.locked(); });
    const int condition = locked ? 0 : kQuesUnlocked;
    ques_event_ |= condition & ~ques_condition_;
    ques_condition_ = condition;
    return condition;
}

std::uint8_t Instrument::StatusByte()
{
    std::uint8_t stb = 0;
    if (status_.Count() > 0) {
        stb |= kStbErrorQueue;
    }
    if ((ques_event_ & ques_enable_) != 0) {
        stb |= kStbQuestionable;
    }
    if ((status_.Esr() & ese_) != 0) {
        stb |= kStbEventStatus;
    }
    if ((stb & sre_) != 0) {
        stb |= kStbRequestService;
    }
    return stb;
}

}  // namespace vontrel::serve
