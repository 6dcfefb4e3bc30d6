// SPDX-License-Identifier: MIT
// What the web pages show of each unit, and how they change it. Changes go
// to the service layer (service/unit_change.h), whose one rule the SCPI
// commands keep too: every value checked before anything is sent, no change
// while a sweep or another session's lock holds the unit, the change made
// in one sequence under the level policy, and the state read back after it.
// The state the pages show is read once per change of the unit and kept,
// each copy with a revision one higher than the last, so that a page never
// goes back to an older one; lock detect is read every kLockPoll while a
// page is open.
#ifndef VONTREL_FRONTENDS_HTTP_PANEL_STATE_H
#define VONTREL_FRONTENDS_HTTP_PANEL_STATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "frontends/net/visa_resources.h"
#include "service/level_units.h"
#include "service/settings_change.h"
#include "service/unit_owner.h"

namespace vontrel::serve::web {

// How often lock detect is read while a page is open: one exchange a
// second, under 2 % of what the unit can do.
inline constexpr auto kLockPoll = std::chrono::seconds(1);

// The least time between two reads of the whole state, however often the
// unit changes (a fast sweep changes it every point).
inline constexpr auto kMinRefresh = std::chrono::milliseconds(150);

// What every page change waits on: bumped whenever any unit's state or
// sweep has news.
class News {
public:
    std::uint64_t version();
    void Bump();
    // Waits up to `timeout` for the version to pass `seen`; returns it.
    std::uint64_t Wait(std::uint64_t seen, std::chrono::milliseconds timeout);

    std::atomic<int> viewers{0};  // pages with an event stream open

    // Who is told of each Bump(), after it (nullptr: nobody).
    void OnBump(std::function<void()> tell);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 0;
    std::function<void()> tell_;
};

// The settings a page may change: each one's JSON name, kind and range,
// from vontrel_limits.h. The pages learn them from /api/limits.
struct Field {
    const char *name;
    enum class Kind { kNumber, kInteger, kBoolean } kind;
    double min;
    double max;
    double step;  // 0: any
};
const std::vector<Field> &Fields();

// The fields as the pages read them.
nlohmann::json LimitsJson();

// The change a request asks for. Throws std::invalid_argument (the message
// says what is wrong) for anything else than an object of known fields with
// values of their kinds, and service::Refusal for a value out of range. A
// level is taken as `scale` shows the unit's levels (in dBm, to the
// nearest step, for a unit with a level calibration).
service::Change ChangeFromJson(const nlohmann::json &request,
                               const service::LevelScale &scale = service::LevelScale());

// JSON as sent: text that is not UTF-8 (an identity byte, say) goes with
// U+FFFD in its place instead of failing.
std::string JsonText(const nlohmann::json &value);

class UnitPanel {
public:
    // `session`: the pages' session on the unit, shared with their sweep.
    UnitPanel(service::UnitOwner &owner, std::size_t index, int port, VisaResources visa,
              News &news, service::Log log, const std::atomic<bool> &stopping,
              service::ConnectionId session);
    ~UnitPanel();
    UnitPanel(const UnitPanel &) = delete;
    UnitPanel &operator=(const UnitPanel &) = delete;

    // The state as last read (read now when nobody watches and it is
    // stale).
    nlohmann::json State();
    // The state as last read, without reading the unit: for whoever must
    // not wait for it (the event streams). The watcher reads it first thing.
    nlohmann::json Kept();

    // A page's change, preset, save: the state read after it. Throws
    // service::Refusal, or std::system_error when an exchange failed.
    nlohmann::json Change(const service::Change &change);
    nlohmann::json Preset();
    nlohmann::json SaveUserPreset();

    service::UnitOwner &owner() { return owner_; }
    // How the pages show and take this unit's levels.
    service::LevelScale scale() const { return service::LevelScale::Of(owner_.config()); }
    std::size_t index() const { return index_; }
    const VisaResources &visa() const { return visa_; }

private:
    void Watch();
    void Refresh(bool whole);
    // Under refresh_mutex_: keeps `state`, read when the change count was
    // `count`, with the next revision, and tells the pages when it differs.
    nlohmann::json Keep(nlohmann::json state, std::uint64_t count, bool whole);
    nlohmann::json Changed(const std::function<vontrel::Status()> &change);

    service::UnitOwner &owner_;
    const std::size_t index_;
    const int port_;
    const VisaResources visa_;
    News &news_;
    const service::Log log_;
    const std::atomic<bool> &stopping_;
    const service::ConnectionId session_;

    std::mutex refresh_mutex_;  // one read at a time, so that an older one never lands last
    std::mutex mutex_;
    nlohmann::json state_;
    std::optional<vontrel::Info> info_;
    std::uint64_t read_at_ = ~std::uint64_t{0};  // the change count the state was read at
    std::uint64_t revision_ = 0;
    std::thread watcher_;
};

}  // namespace vontrel::serve::web

#endif
