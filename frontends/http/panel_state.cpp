// SPDX-License-Identifier: MIT
// The state the web pages show of each unit, and running their changes.
#include "frontends/http/panel_state.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>

#include "frontends/scpi/scpi_values.h"
#include "include/vontrel_limits.h"

namespace vontrel::serve::web {
namespace {

using nlohmann::json;

// How long the watcher waits for a change before it looks at the time.
constexpr auto kWatchSlice = std::chrono::milliseconds(250);

// The most errors read back after one line: a line holds at most
// kMaxUnitsPerLine commands, each of which queues at most one.
constexpr int kMaxErrorsRead = 2 * static_cast<int>(kMaxUnitsPerLine);

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::uint64_t News::version()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

void News::Bump()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++version_;
    }
    changed_.notify_all();
}

std::uint64_t News::Wait(std::uint64_t seen, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return version_ != seen; });
    return version_;
}

const std::vector<Field> &Fields()
{
    using K = Field::Kind;
    static const std::vector<Field> fields{
        {"frequency_hz", "FREQ", K::kNumber, VONTREL_FREQ_MIN_MHZ * 1e6, VONTREL_FREQ_MAX_MHZ * 1e6,
         0.0},
        {"mode", "VONT:MODE", K::kInteger, 0, VONTREL_MODE_MAX, 1},
        {"attenuation", "POW:ATT", K::kNumber, 0.0, VONTREL_ATTEN_MAX, VONTREL_LEVEL_STEP},
        {"level", "POW", K::kNumber, VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX, VONTREL_LEVEL_STEP},
        {"switch", "VONT:SWIT", K::kInteger, 0, VONTREL_SWITCH_MAX, 1},
        {"flag_a", "VONT:FLAG:A", K::kBoolean, 0, 1, 1},
        {"flag_b", "VONT:FLAG:B", K::kBoolean, 0, 1, 1},
        {"flag_c", "VONT:FLAG:C", K::kBoolean, 0, 1, 1},
        {"trim_a", "VONT:TRIM:A", K::kInteger, 0, VONTREL_BYTE_MAX, 1},
        {"trim_b", "VONT:TRIM:B", K::kInteger, 0, VONTREL_BYTE_MAX, 1},
        {"auto_trim", "VONT:TRIM:AUTO", K::kBoolean, 0, 1, 1},
        {"stored", "VONT:STOR", K::kInteger, 0, VONTREL_BYTE_MAX, 1},
    };
    return fields;
}

json LimitsJson()
{
    json fields = json::object();
    for (const Field &f : Fields()) {
        fields[f.name] = {{"kind", f.kind == Field::Kind::kNumber    ? "number"
                                   : f.kind == Field::Kind::kInteger ? "integer"
                                                                     : "boolean"},
                          {"min", f.min},
                          {"max", f.max},
                          {"step", f.step}};
    }
    return {{"fields", fields},
            {"level_mode", VONTREL_MODE_LEVEL},
            {"dwell_max_s", VONTREL_DWELL_MAX_S},
            {"sweep_points_max", VONTREL_SWEEP_POINTS_MAX}};
}

std::string ChangeLine(const json &request)
{
    if (!request.is_object() || request.empty()) {
        throw std::invalid_argument("a change is a JSON object of the settings to change");
    }
    for (const auto &[name, value] : request.items()) {
        bool known = false;
        for (const Field &f : Fields()) {
            known = known || name == f.name;
        }
        if (!known) {
            throw std::invalid_argument(fmt::format("no setting is called \"{}\"", name));
        }
    }
    std::string line;
    for (const Field &f : Fields()) {
        const auto it = request.find(f.name);
        if (it == request.end()) {
            continue;
        }
        double v = 0.0;
        if (f.kind == Field::Kind::kBoolean) {
            if (!it->is_boolean()) {
                throw std::invalid_argument(fmt::format("{} is true or false", f.name));
            }
            v = it->get<bool>() ? 1.0 : 0.0;
        } else {
            if (!it->is_number() || (f.kind == Field::Kind::kInteger && !it->is_number_integer())) {
                throw std::invalid_argument(
                    fmt::format("{} is {}", f.name,
                                f.kind == Field::Kind::kInteger ? "a whole number" : "a number"));
            }
            v = it->get<double>();
            if (!(v >= f.min && v <= f.max)) {
                throw std::invalid_argument(
                    fmt::format("{} {} is outside {} to {}", f.name, v, f.min, f.max));
            }
        }
        line += fmt::format("{}:{} {}", line.empty() ? "" : ";", f.header, FormatNumber(v));
    }
    return line;
}

std::optional<std::string> RunScpi(Instrument &instrument, const std::string &line)
{
    if (!line.empty()) {
        instrument.Execute(line, {});
    }
    std::optional<std::string> first;
    for (int i = 0; i < kMaxErrorsRead; ++i) {
        const std::string entry = Trimmed(instrument.Execute("SYST:ERR?", {}));
        if (entry.empty() || entry.rfind("0,", 0) == 0) {
            break;
        }
        if (!first) {
            // -222,"Data out of range; ..." is shown as -222 Data out of range; ...
            const auto comma = entry.find(',');
            std::string text = entry.substr(comma + 1);
            if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
                text = text.substr(1, text.size() - 2);
            }
            first = entry.substr(0, comma) + " " + text;
        }
    }
    return first;
}

UnitPanel::UnitPanel(service::UnitOwner &owner, std::size_t index, int port, VisaResources visa,
                     News &news, service::Log log, const std::atomic<bool> &stopping)
    : owner_(owner),
      index_(index),
      port_(port),
      visa_(std::move(visa)),
      news_(news),
      log_(std::move(log)),
      stopping_(stopping)
{
    watcher_ = std::thread([this] { Watch(); });
}

UnitPanel::~UnitPanel()
{
    watcher_.join();  // stopping_ is set
}

json UnitPanel::State()
{
    bool stale = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stale = state_.is_null() || (news_.viewers == 0 && owner_.changes() != read_at_);
    }
    if (stale) {
        Refresh(true);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::optional<std::string> UnitPanel::Run(const std::string &line, const std::string &who)
{
    Instrument instrument(owner_, service::NewSessionId(), who, log_, stopping_);
    return RunScpi(instrument, line);
}

void UnitPanel::Refresh(bool whole)
{
    const std::lock_guard<std::mutex> one_at_a_time(refresh_mutex_);
    const std::uint64_t count = owner_.changes();
    json state;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        state = state_;
    }
    state["index"] = index_;
    state["serial"] = owner_.serial();
    state["port"] = port_;
    state["visa"] = {{"instr", visa_.instr}, {"socket", visa_.socket}};
    try {
        service::UnitOwner::Access access(owner_);
        if (!info_) {
            info_ = access.Call([](vontrel::Unit &u) { return u.info(); });
        }
        if (whole || !state.contains("frequency_hz")) {
            const vontrel::Status s = access.Call([](vontrel::Unit &u) { return u.status(); });
            state["frequency_hz"] = std::round(s.frequency_mhz * 1e9) / 1e3;
            state["level"] = s.level;
            state["level_min"] = s.level_min;
            state["level_max"] = s.level_max;
            state["attenuation"] = s.attenuation;
            state["mode"] = static_cast<int>(s.mode);
            state["switch"] = static_cast<int>(s.output_switch);
            state["flag_a"] = s.flag_a;
            state["flag_b"] = s.flag_b;
            state["flag_c"] = s.flag_c;
            state["trim_a"] = s.trim_a;
            state["trim_b"] = s.trim_b;
            state["auto_trim"] = s.auto_trim;
            state["stored"] = s.stored_setting;
        }
        state["locked"] = access.Call([](vontrel::Unit &u) { return u.locked(); });
        state["sweeping"] = access.sweeper() != service::kNoSweep;
        state["open"] = true;
        state["error"] = nullptr;
        state["firmware"] = info_->firmware;
        state["hardware"] = std::string(1, info_->hardware_revision);
        state["calibration_date"] = info_->calibration_date;
        state["if_band"] = info_->if_band;
    } catch (const std::exception &) {
        state["open"] = false;
        state["error"] = fmt::format("unit {}: {}", owner_.serial(), owner_.WhyNotOpen());
    }
    bool news = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (whole) {
            read_at_ = count;
        }
        news = state != state_;
        state_ = std::move(state);
    }
    if (news) {
        news_.Bump();
    }
}

void UnitPanel::Watch()
{
    std::uint64_t known = owner_.changes();
    auto lock_read = std::chrono::steady_clock::now();
    while (!stopping_) {
        known = owner_.WaitForChange(known, kWatchSlice);
        if (news_.viewers == 0 || stopping_) {
            continue;  // State() reads what nobody watched when asked
        }
        bool whole = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            whole = known != read_at_;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!whole && now - lock_read < kLockPoll) {
            continue;
        }
        Refresh(whole);
        lock_read = now;
        if (whole) {
            std::this_thread::sleep_for(kMinRefresh);
        }
    }
}

}  // namespace vontrel::serve::web
