// SPDX-License-Identifier: MIT
// What the web pages show of each unit, and how they change it. Changes go
// through an Instrument and the SCPI command table, so every rule the
// instrument keeps (limits, the level policy, the list sweep's single
// owner) holds for the pages too, and its error text is the page's
// message. The state the pages show is read once per change of the unit
// and kept; lock detect is read every kLockPoll while a page is open.
#ifndef VONTREL_FRONTENDS_HTTP_PANEL_STATE_H
#define VONTREL_FRONTENDS_HTTP_PANEL_STATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "frontends/net/visa_resources.h"
#include "frontends/scpi/instrument.h"
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

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 0;
};

// The settings a page may change: each one's JSON name, SCPI header, kind
// and range, from vontrel_limits.h. The pages learn them from /api/limits.
struct Field {
    const char *name;
    const char *header;
    enum class Kind { kNumber, kInteger, kBoolean } kind;
    double min;
    double max;
    double step;  // 0: any
};
const std::vector<Field> &Fields();

// The fields as the pages read them.
nlohmann::json LimitsJson();

// Checks a change request against Fields() and builds the SCPI line that
// makes it; throws std::invalid_argument (the message says what is wrong)
// for anything else than an object of known fields with values in range.
std::string ChangeLine(const nlohmann::json &request);

// Runs `line` on `instrument` and returns the first error it queued, as
// the error queue words it, or none when the line ran clean.
std::optional<std::string> RunScpi(Instrument &instrument, const std::string &line);

class UnitPanel {
public:
    UnitPanel(service::UnitOwner &owner, std::size_t index, int port, VisaResources visa,
              News &news, service::Log log, const std::atomic<bool> &stopping);
    ~UnitPanel();
    UnitPanel(const UnitPanel &) = delete;
    UnitPanel &operator=(const UnitPanel &) = delete;

    // The state as last read (read now when nobody watches and it is
    // stale).
    nlohmann::json State();

    // Runs a line of commands for a page, on an instrument of its own.
    std::optional<std::string> Run(const std::string &line, const std::string &who);

    service::UnitOwner &owner() { return owner_; }
    std::size_t index() const { return index_; }
    const VisaResources &visa() const { return visa_; }

private:
    void Watch();
    void Refresh(bool whole);

    service::UnitOwner &owner_;
    const std::size_t index_;
    const int port_;
    const VisaResources visa_;
    News &news_;
    const service::Log log_;
    const std::atomic<bool> &stopping_;

    std::mutex refresh_mutex_;  // one read at a time, so that an older one never lands last
    std::mutex mutex_;
    nlohmann::json state_;
    std::optional<vontrel::Info> info_;
    std::uint64_t read_at_ = ~std::uint64_t{0};  // the change count the state was read at
    std::thread watcher_;
};

}  // namespace vontrel::serve::web

#endif
