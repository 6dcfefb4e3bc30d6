// SPDX-License-Identifier: MIT
// The state the web pages show of each unit, and running their changes.
#include "frontends/http/panel_state.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>

#include "frontends/net/text.h"
#include "include/vontrel_limits.h"
#include "service/level_units.h"
#include "service/output_state.h"
#include "service/unit_change.h"

namespace vontrel::serve::web {
namespace {

using nlohmann::json;

// How long the watcher waits for a change before it looks at the time.
constexpr auto kWatchSlice = std::chrono::milliseconds(250);

// The settings of `s` as the pages show them, levels as `scale` shows them.
void PutSettings(json &state, const vontrel::Status &s, const service::LevelScale &scale)
{
    state["frequency_hz"] = std::round(s.frequency_mhz * 1e9) / 1e3;
    state["level"] = scale.Shown(s.level);
    state["level_min"] = scale.Shown(s.level_min);
    state["level_max"] = scale.Shown(s.level_max);
    state["level_unit"] = scale.dbm() ? json("dBm") : json(nullptr);
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

}  // namespace

std::uint64_t News::version()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

void News::Bump()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    ++version_;
    changed_.notify_all();
    if (tell_) {
        tell_();  // under the lock: OnBump(nullptr) waits for it
    }
}

void News::OnBump(std::function<void()> tell)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    tell_ = std::move(tell);
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
        {"frequency_hz", K::kNumber, VONTREL_FREQ_MIN_MHZ * 1e6, VONTREL_FREQ_MAX_MHZ * 1e6, 0.0},
        {"mode", K::kInteger, 0, VONTREL_MODE_MAX, 1},
        {"attenuation", K::kNumber, 0.0, VONTREL_ATTEN_MAX, VONTREL_LEVEL_STEP},
        // As the unit's page shows levels: in dBm for a unit with a level
        // calibration (any offset the units file takes), taken to the
        // nearest step (ChangeFromJson); the unit's own range and grid are
        // checked on the level.
        {"level", K::kNumber, VONTREL_LEVEL_MIN - service::kMaxLevelOffsetDb,
         VONTREL_LEVEL_MAX + service::kMaxLevelOffsetDb, 0.0},
        {"switch", K::kInteger, 0, VONTREL_SWITCH_MAX, 1},
        {"flag_a", K::kBoolean, 0, 1, 1},
        {"flag_b", K::kBoolean, 0, 1, 1},
        {"flag_c", K::kBoolean, 0, 1, 1},
        {"trim_a", K::kInteger, 0, VONTREL_BYTE_MAX, 1},
        {"trim_b", K::kInteger, 0, VONTREL_BYTE_MAX, 1},
        {"auto_trim", K::kBoolean, 0, 1, 1},
        {"stored", K::kInteger, 0, VONTREL_BYTE_MAX, 1},
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

service::Change ChangeFromJson(const json &request, const service::LevelScale &scale)
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
            throw std::invalid_argument(
                fmt::format("no setting is called \"{}\"", net::ValidUtf8(name)));
        }
    }
    const auto value = [&](const Field &f) -> std::optional<double> {
        const auto it = request.find(f.name);
        if (it == request.end()) {
            return std::nullopt;
        }
        if (f.kind == Field::Kind::kBoolean) {
            if (!it->is_boolean()) {
                throw std::invalid_argument(fmt::format("{} is true or false", f.name));
            }
            return it->get<bool>() ? 1.0 : 0.0;
        }
        if (!it->is_number() || (f.kind == Field::Kind::kInteger && !it->is_number_integer())) {
            throw std::invalid_argument(
                fmt::format("{} is {}", f.name,
                            f.kind == Field::Kind::kInteger ? "a whole number" : "a number"));
        }
        const double v = it->get<double>();
        // Whole numbers far out of range are refused here, before they are
        // narrowed to an int.
        if (!(v >= f.min && v <= f.max)) {
            throw service::Refusal(
                service::Reason::kValueRefused,
                fmt::format("{} {} is outside {} to {}", f.name, v, f.min, f.max));
        }
        return v;
    };
    service::Change change;
    const auto integer = [](std::optional<double> v) {
        return v ? std::optional<int>(static_cast<int>(*v)) : std::nullopt;
    };
    const auto boolean = [](std::optional<double> v) {
        return v ? std::optional<bool>(*v != 0.0) : std::nullopt;
    };
    const std::vector<Field> &f = Fields();
    if (const auto hz = value(f[0])) {
        change.frequency_mhz = *hz / 1e6;
    }
    change.mode = integer(value(f[1]));
    change.attenuation = value(f[2]);
    if (const auto level = value(f[3])) {
        change.level = scale.Level(*level);
    }
    change.output_switch = integer(value(f[4]));
    change.flag_a = boolean(value(f[5]));
    change.flag_b = boolean(value(f[6]));
    change.flag_c = boolean(value(f[7]));
    change.trim_a = integer(value(f[8]));
    change.trim_b = integer(value(f[9]));
    change.auto_trim = boolean(value(f[10]));
    change.stored_setting = integer(value(f[11]));
    service::CheckRanges(change);
    return change;
}

std::string JsonText(const json &value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

UnitPanel::UnitPanel(service::UnitOwner &owner, std::size_t index, int port, VisaResources visa,
                     News &news, service::Log log, const std::atomic<bool> &stopping,
                     service::ConnectionId session)
    : owner_(owner),
      index_(index),
      port_(port),
      visa_(std::move(visa)),
      news_(news),
      log_(std::move(log)),
      stopping_(stopping),
      session_(session)
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

json UnitPanel::Kept()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (state_.is_null()) {
        return {{"index", index_},
                {"serial", owner_.serial()},
                {"open", false},
                {"error", "not read yet"},
                {"revision", 0}};
    }
    return state_;
}

json UnitPanel::Changed(const std::function<vontrel::Status()> &change)
{
    State();  // read whole once, so that the state has every part
    const std::lock_guard<std::mutex> one_at_a_time(refresh_mutex_);
    // Read before: a change made by another between ours and this count is
    // read again by the watcher.
    const std::uint64_t count = owner_.changes();
    const vontrel::Status after = change();
    json state;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        state = state_;
    }
    PutSettings(state, after, service::LevelScale::Of(owner_.config()));
    state["open"] = true;
    state["error"] = nullptr;
    return Keep(std::move(state), count, true);
}

json UnitPanel::Change(const service::Change &change)
{
    return Changed([&] { return service::ApplyChange(owner_, session_, change); });
}

json UnitPanel::Preset()
{
    return Changed([&] { return service::Preset(owner_, session_); });
}

json UnitPanel::SaveUserPreset()
{
    return Changed([&] { return service::SaveUserPreset(owner_, session_); });
}

json UnitPanel::Keep(json state, std::uint64_t count, bool whole)
{
    bool news = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (whole) {
            read_at_ = count;
        }
        json before = state_;
        if (before.is_object()) {
            before.erase("revision");
        }
        news = state != before;
        state["revision"] = ++revision_;
        state_ = state;
    }
    if (news) {
        news_.Bump();
    }
    return state;
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
    if (state.is_object()) {
        state.erase("revision");
    }
    state["index"] = index_;
    state["serial"] = owner_.serial();
    state["port"] = port_;
    state["visa"] = {{"instr", visa_.instr}, {"socket", visa_.socket}};
    bool switched_off = false;
    try {
        service::UnitOwner::Access access(owner_);
        switched_off = access.powered_off();
        if (!info_) {
            info_ = access.Call([](vontrel::Unit &u) { return u.info(); });
        }
        if (whole || !state.contains("frequency_hz") || !state["output"].is_boolean()) {
            // The settings as the output has them when on, and whether it is.
            const service::SettingsAndOutput read = service::ReadSettingsAndOutput(access);
            PutSettings(state, read.settings, service::LevelScale::Of(owner_.config()));
            state["output"] = read.output_on;
        }
        state["locked"] = access.Call([](vontrel::Unit &u) { return u.locked(); });
        state["sweeping"] = access.sweeper() != service::kNoSweep;
        state["open"] = true;
        state["error"] = nullptr;
        // Identity bytes are any bytes: sent as UTF-8, U+FFFD for the rest.
        state["firmware"] = net::ValidUtf8(info_->firmware);
        state["hardware"] = net::ValidUtf8(std::string(1, info_->hardware_revision));
        state["calibration_date"] = net::ValidUtf8(info_->calibration_date);
        state["if_band"] = net::ValidUtf8(info_->if_band);
    } catch (const std::exception &) {
        info_.reset();  // read again once the unit is back: it may have changed
        // What was read before stays for the page to show greyed, but not
        // an output or a lock the unit may no longer have: one switched off
        // at its outlet is off, and of any other nothing is known now.
        state["output"] = switched_off ? json(false) : json(nullptr);
        state["locked"] = nullptr;
        state["open"] = false;
        state["error"] = fmt::format("unit {}: {}", owner_.serial(), owner_.WhyNotOpen());
    }
    Keep(std::move(state), count, whole);
}

void UnitPanel::Watch()
{
    std::uint64_t known = owner_.changes();
    try {
        Refresh(true);  // so that there is a state to show from the start
    } catch (const std::exception &e) {
        log_(fmt::format("web panel of unit {}: {}", owner_.serial(), e.what()));
    }
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
        try {
            Refresh(whole);
        } catch (const std::exception &e) {  // nothing may leave this thread
            log_(fmt::format("web panel of unit {}: {}", owner_.serial(), e.what()));
        }
        lock_read = now;
        if (whole) {
            std::this_thread::sleep_for(kMinRefresh);
        }
    }
}

}  // namespace vontrel::serve::web
