// SPDX-License-Identifier: MIT
// The mains switches a server holds open.
#include "service/mains_switches.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

#include "include/vontrel_status.h"
#include "service/errors.h"

namespace vontrel::service {

struct MainsSwitches::Entry {
    explicit Entry(std::string s) : serial(std::move(s)) {}
    const std::string serial;
    std::mutex mutex;
    vontrel::mains::Switch sw;  // closed while lost
    std::error_code error;      // why it is not open
    bool was_open = false;
    std::chrono::steady_clock::time_point next_attempt{};
    std::chrono::milliseconds backoff{0};
};

std::string MainsDescription(const std::string &given)
{
    if (!given.empty()) {
        return given;
    }
    const char *named =
        std::getenv(VONTREL_MAINS_DESCRIPTION_VARIABLE);  // NOLINT(concurrency-mt-unsafe)
    return named != nullptr && *named != '\0' ? named : VONTREL_MAINS_DEFAULT_DESCRIPTION;
}

MainsSwitches::MainsSwitches(const std::string &description, Log log, std::vector<std::string> only)
    : description_(MainsDescription(description)), log_(std::move(log))
{
    std::vector<std::string> serials = std::move(only);
    if (serials.empty()) {
        try {
            for (const vontrel::mains::SwitchInfo &found : vontrel::mains::list(description_)) {
                serials.push_back(found.serial);
            }
        } catch (const std::system_error &e) {
            log_(fmt::format("mains switches (\"{}\"): not listed: {}", description_, e.what()));
        }
    }
    for (const std::string &serial : serials) {
        if (std::any_of(switches_.begin(), switches_.end(),
                        [&](const auto &e) { return e->serial == serial; })) {
            continue;  // one switch listed twice is one switch
        }
        auto &e = *switches_.emplace_back(std::make_unique<Entry>(serial));
        try {
            e.sw = vontrel::mains::open(description_, serial);
            e.was_open = true;
            log_(fmt::format("mains switch {}: open", serial));
        } catch (const std::system_error &error) {
            e.error = error.code();
            log_(fmt::format("mains switch {}: {}; opened when needed", serial, error.what()));
        }
    }
}

MainsSwitches::~MainsSwitches() = default;

std::vector<std::string> MainsSwitches::serials() const
{
    std::vector<std::string> out;
    for (const auto &e : switches_) {
        out.push_back(e->serial);
    }
    return out;
}

std::string MainsSwitches::Resolve(const std::string &switch_serial)
{
    if (!switch_serial.empty()) {
        Find(switch_serial);
        return switch_serial;
    }
    if (switches_.size() == 1) {
        return switches_.front()->serial;
    }
    if (switches_.empty()) {
        throw Refusal(Reason::kUnitFailed,
                      fmt::format("no mains switch (\"{}\") is attached", description_));
    }
    std::vector<std::string> names = serials();
    throw Refusal(Reason::kValueRefused,
                  fmt::format("{} mains switches are attached ({}): name one by its serial",
                              names.size(), fmt::join(names, ", ")));
}

MainsSwitches::Entry &MainsSwitches::Find(const std::string &serial)
{
    for (const auto &e : switches_) {
        if (e->serial == serial) {
            return *e;
        }
    }
    throw Refusal(Reason::kUnitFailed,
                  fmt::format("the mains switch {} is not attached (or was not there when the "
                              "server started)",
                              serial));
}

template <typename F>
decltype(auto) MainsSwitches::OnSwitch(Entry &e, F &&f)
{
    if (!e.sw.is_open()) {
        const auto now = std::chrono::steady_clock::now();
        if (now < e.next_attempt) {
            throw std::system_error(e.error,
                                    fmt::format("VontrelMains_Open (switch {})", e.serial));
        }
        e.backoff = NextReopenInterval(e.backoff);
        e.next_attempt = now + e.backoff;
        try {
            e.sw = vontrel::mains::open(description_, e.serial);
        } catch (const std::system_error &error) {
            e.error = error.code();
            throw;
        }
        e.backoff = std::chrono::milliseconds(0);
        e.next_attempt = {};
        log_(fmt::format("mains switch {}: open{}", e.serial,
                         std::exchange(e.was_open, true) ? " again" : ""));
    }
    try {
        return f(e.sw);
    } catch (const std::system_error &error) {
        e.error = error.code();
        e.sw = vontrel::mains::Switch();  // closed; opened again when next needed
        log_(fmt::format("mains switch {}: {}; closed, opened again when next needed", e.serial,
                         error.what()));
        throw;
    }
}

bool MainsSwitches::IsOn(const PowerOutlet &outlet)
{
    Entry &e = Find(Resolve(outlet.switch_serial));
    const std::lock_guard<std::mutex> lock(e.mutex);
    return OnSwitch(e, [&](vontrel::mains::Switch &sw) { return sw.get(outlet.outlet); });
}

void MainsSwitches::Set(const PowerOutlet &outlet, bool on)
{
    Entry &e = Find(Resolve(outlet.switch_serial));
    {
        const std::lock_guard<std::mutex> lock(e.mutex);
        OnSwitch(e, [&](vontrel::mains::Switch &sw) { sw.set(outlet.outlet, on); });
    }
    log_(fmt::format("mains switch {}: outlet {} {}", e.serial, outlet.outlet, on ? "on" : "off"));
    {
        const std::lock_guard<std::mutex> lock(changes_mutex_);
        ++changes_;
    }
    changed_.notify_all();
}

std::bitset<kMainsOutlets> MainsSwitches::Outlets(const std::string &serial)
{
    Entry &e = Find(serial);
    const std::lock_guard<std::mutex> lock(e.mutex);
    return OnSwitch(e, [&](vontrel::mains::Switch &sw) { return sw.outlets(); });
}

std::string MainsSwitches::Problem(const std::string &serial)
{
    Entry &e = Find(serial);
    const std::lock_guard<std::mutex> lock(e.mutex);
    if (e.sw.is_open()) {
        return "";
    }
    return e.error.value() == VONTREL_FT_DEVICE_NOT_OPENED  ? "in use by another program"
           : e.error.value() == VONTREL_FT_DEVICE_NOT_FOUND ? "not attached"
                                                            : e.error.message();
}

std::uint64_t MainsSwitches::changes()
{
    const std::lock_guard<std::mutex> lock(changes_mutex_);
    return changes_;
}

std::uint64_t MainsSwitches::WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(changes_mutex_);
    changed_.wait_for(lock, timeout, [&] { return changes_ != seen; });
    return changes_;
}

}  // namespace vontrel::service
