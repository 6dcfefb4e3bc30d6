// SPDX-License-Identifier: MIT
// The web pages' sweep of a unit.
#include "frontends/http/sweep_panel.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>

#include "frontends/scpi/scpi_values.h"

namespace vontrel::serve::web {
namespace {

using nlohmann::json;

double Number(const json &request, const char *name)
{
    const auto it = request.find(name);
    if (it == request.end() || !it->is_number()) {
        throw std::invalid_argument(fmt::format("{} is a number", name));
    }
    return it->get<double>();
}

}  // namespace

SweepPanel::SweepPanel(service::UnitOwner &owner, std::size_t index, News &news, service::Log log,
                       const std::atomic<bool> &stopping)
    : news_(news),
      instrument_(owner, service::NewSessionId(), fmt::format("web sweep of unit {}", index),
                  std::move(log), stopping)
{
    instrument_.ObservePoints(
        [this](std::size_t, double mhz, std::optional<double> lock_ms) {
            {
                const std::lock_guard<std::mutex> lock(points_mutex_);
                points_.push_back({std::round(mhz * 1e9) / 1e3, lock_ms});
            }
            news_.Bump();
        },
        // The last point's news can be read while the sweep still runs: the
        // pages learn that it has ended from this.
        [this] { news_.Bump(); });
}

std::optional<std::string> SweepPanel::Start(const json &request)
{
    if (!request.is_object()) {
        throw std::invalid_argument("a sweep is a JSON object");
    }
    for (const auto &[name, value] : request.items()) {
        static const std::vector<std::string> known{"start_hz", "stop_hz",     "step_hz", "list_hz",
                                                    "dwell_s",  "attenuation", "level"};
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            throw std::invalid_argument(fmt::format("a sweep has no \"{}\"", name));
        }
    }
    if (request.contains("level") && request.contains("attenuation")) {
        throw std::invalid_argument("a sweep takes a level or an attenuation, not both");
    }
    std::string setup;
    std::size_t total = 0;
    if (request.contains("list_hz")) {
        if (request.contains("start_hz") || request.contains("stop_hz") ||
            request.contains("step_hz")) {
            throw std::invalid_argument("a sweep has a list or a start, stop and step, not both");
        }
        const json &list = request["list_hz"];
        if (!list.is_array() || list.empty()) {
            throw std::invalid_argument("list_hz is a list of frequencies in Hz");
        }
        setup = "LIST:FREQ ";
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (!list[i].is_number()) {
                throw std::invalid_argument("list_hz is a list of frequencies in Hz");
            }
            setup += (i > 0 ? "," : "") + FormatNumber(list[i].get<double>());
        }
        total = list.size();
        setup += ";:FREQ:MODE LIST";
    } else {
        setup = fmt::format(":FREQ:STAR {};STOP {};:SWE:STEP {};:FREQ:MODE SWE",
                            FormatNumber(Number(request, "start_hz")),
                            FormatNumber(Number(request, "stop_hz")),
                            FormatNumber(Number(request, "step_hz")));
    }
    if (request.contains("dwell_s")) {
        const std::string dwell = FormatNumber(Number(request, "dwell_s"));
        setup += fmt::format(";:LIST:DWEL {};:SWE:DWEL {}", dwell, dwell);
    }
    std::string level;
    if (request.contains("level")) {
        level = "POW " + FormatNumber(Number(request, "level"));
    } else if (request.contains("attenuation")) {
        level = "POW:ATT " + FormatNumber(Number(request, "attenuation"));
    }

    const std::lock_guard<std::mutex> lock(instrument_mutex_);
    if (auto refused = RunScpi(instrument_, setup)) {
        return refused;
    }
    if (total == 0) {
        total = static_cast<std::size_t>(std::stoul(instrument_.Execute("SWE:POIN?", {})));
    }
    if (!level.empty()) {
        if (auto refused = RunScpi(instrument_, level)) {
            return refused;
        }
    }
    {
        const std::lock_guard<std::mutex> points(points_mutex_);
        points_.clear();
        ++generation_;
        total_ = total;
        error_.clear();
        ended_ = false;
    }
    if (auto refused = RunScpi(instrument_, "INIT")) {
        const std::lock_guard<std::mutex> points(points_mutex_);
        ended_ = true;
        return refused;
    }
    news_.Bump();
    return std::nullopt;
}

void SweepPanel::Abort()
{
    const std::lock_guard<std::mutex> lock(instrument_mutex_);
    instrument_.Execute("ABOR", {});
}

json SweepPanel::Progress(std::size_t from)
{
    bool running = false;
    {
        const std::lock_guard<std::mutex> lock(instrument_mutex_);
        running = instrument_.Sweeping();
        if (!running && !ended_) {
            // The sweep has ended: what stopped it, if anything, is queued.
            const std::optional<std::string> error = RunScpi(instrument_, "");
            const std::lock_guard<std::mutex> points(points_mutex_);
            error_ = error.value_or("");
            ended_ = true;
        }
    }
    const std::lock_guard<std::mutex> lock(points_mutex_);
    json points = json::array();
    for (std::size_t i = from; i < points_.size(); ++i) {
        points.push_back({points_[i].hz, points_[i].lock_ms ? json(*points_[i].lock_ms) : json()});
    }
    return {{"generation", generation_}, {"running", running}, {"total", total_},
            {"done", points_.size()},    {"from", from},       {"error", error_},
            {"points", points}};
}

std::string SweepPanel::Csv()
{
    const std::lock_guard<std::mutex> lock(points_mutex_);
    std::string csv = "frequency_hz,lock_ms\n";
    for (const Point &p : points_) {
        csv += fmt::format("{},{}\n", FormatNumber(p.hz),
                           p.lock_ms ? fmt::format("{:.1f}", *p.lock_ms) : "");
    }
    return csv;
}

}  // namespace vontrel::serve::web
