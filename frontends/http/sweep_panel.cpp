// SPDX-License-Identifier: MIT
// The web pages' sweep of a unit.
#include "frontends/http/sweep_panel.h"

#include <fmt/format.h>

#include <cmath>
#include <stdexcept>

#include "include/vontrel_limits.h"
#include "service/unit_change.h"

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

// A frequency of the sweep, in MHz, checked.
double Frequency(double hz)
{
    service::Change point;
    point.frequency_mhz = hz / 1e6;
    service::CheckRanges(point);
    return hz / 1e6;
}

// The points from start to stop `step` apart (or a little closer), evenly
// spaced, as the SCPI step sweep makes them.
std::vector<double> StepPoints(double start_mhz, double stop_mhz, double step_mhz)
{
    const double span = std::fabs(stop_mhz - start_mhz);
    if (!(step_mhz > 0.0) || !std::isfinite(step_mhz)) {
        throw std::invalid_argument("step_hz is a number above 0");
    }
    const double points = std::floor(span / step_mhz + 1e-9) + 1;
    if (!(points >= 2 && points <= VONTREL_SWEEP_POINTS_MAX)) {
        throw service::Refusal(
            service::Reason::kValueRefused,
            fmt::format("a sweep has 2 to {} points, not {}", VONTREL_SWEEP_POINTS_MAX, points));
    }
    const int n = static_cast<int>(points);
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        out.push_back(start_mhz + (stop_mhz - start_mhz) * i / (n - 1));
    }
    return out;
}

}  // namespace

SweepPanel::SweepPanel(service::UnitOwner &owner, std::size_t index, News &news, service::Log log,
                       service::ConnectionId session)
    : owner_(owner), news_(news), log_(std::move(log)), session_(session)
{
    (void)index;
}

void SweepPanel::Start(const json &request)
{
    if (!request.is_object()) {
        throw std::invalid_argument("a sweep is a JSON object");
    }
    for (const auto &[name, value] : request.items()) {
        static const std::vector<std::string> known{"start_hz", "stop_hz",     "step_hz", "list_hz",
                                                    "dwell_s",  "attenuation", "level"};
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            throw std::invalid_argument("a sweep has no such setting");
        }
    }
    if (request.contains("level") && request.contains("attenuation")) {
        throw std::invalid_argument("a sweep takes a level or an attenuation, not both");
    }
    service::SweepPlan plan;
    plan.dwells_s = {0.01};
    if (request.contains("list_hz")) {
        if (request.contains("start_hz") || request.contains("stop_hz") ||
            request.contains("step_hz")) {
            throw std::invalid_argument("a sweep has a list or a start, stop and step, not both");
        }
        const json &list = request["list_hz"];
        if (!list.is_array() || list.empty()) {
            throw std::invalid_argument("list_hz is a list of frequencies in Hz");
        }
        if (list.size() > VONTREL_SWEEP_POINTS_MAX) {
            throw service::Refusal(
                service::Reason::kValueRefused,
                fmt::format("a sweep has at most {} points", VONTREL_SWEEP_POINTS_MAX));
        }
        for (const json &hz : list) {
            if (!hz.is_number()) {
                throw std::invalid_argument("list_hz is a list of frequencies in Hz");
            }
            plan.frequencies_mhz.push_back(Frequency(hz.get<double>()));
        }
    } else {
        plan.frequencies_mhz =
            StepPoints(Frequency(Number(request, "start_hz")),
                       Frequency(Number(request, "stop_hz")), Number(request, "step_hz") / 1e6);
    }
    if (request.contains("dwell_s")) {
        const double dwell = Number(request, "dwell_s");
        if (!(dwell >= 0.0 && dwell <= VONTREL_DWELL_MAX_S)) {
            throw service::Refusal(
                service::Reason::kValueRefused,
                fmt::format("dwell_s {} is outside 0 to {}", dwell, VONTREL_DWELL_MAX_S));
        }
        plan.dwells_s = {dwell};
    }
    service::Change level;  // set first, at the frequency the unit is on
    if (request.contains("level")) {
        level.level = service::LevelScale::Of(owner_.config()).Level(Number(request, "level"));
    } else if (request.contains("attenuation")) {
        level.attenuation = Number(request, "attenuation");
    }
    service::CheckRanges(level);
    plan.scale = service::LevelScale::Of(owner_.config());
    plan.on_point = [this](std::size_t, double mhz, std::optional<double> lock_ms) {
        {
            const std::lock_guard<std::mutex> lock(points_mutex_);
            points_.push_back({std::round(mhz * 1e9) / 1e3, lock_ms});
        }
        news_.Bump();
    };
    // The last point's news can be read while the sweep still runs: the
    // pages learn that it has ended from this.
    plan.on_end = [this] { news_.Bump(); };
    const std::size_t total = plan.frequencies_mhz.size();

    const std::lock_guard<std::mutex> one_at_a_time(start_mutex_);
    {
        // Checked, set and started in one sequence under the unit's lock:
        // refused, it changes nothing, the record of the sweep that runs
        // included.
        service::UnitOwner::Access access(owner_);
        service::CheckMayStartSweep(owner_, access, sweep_, session_);
        if (level.level || level.attenuation) {
            service::CheckMayChange(owner_, access, session_);
            service::Edit(access, [&](Settings &s, const Status &) { s = Merge(s, level); });
        }
        {
            const std::lock_guard<std::mutex> points(points_mutex_);
            points_.clear();
            ++generation_;
            total_ = total;
            error_.clear();
        }
        service::StartSweep(
            owner_, access, sweep_, session_, std::move(plan), false,
            [this](service::Reason, const std::string &detail) {
                {
                    const std::lock_guard<std::mutex> points(points_mutex_);
                    error_ = detail;
                }
                log_(fmt::format("web sweep of unit {}: {}", owner_.serial(), detail));
            },
            [] {});
    }
    news_.Bump();
}

void SweepPanel::Abort()
{
    const std::lock_guard<std::mutex> lock(start_mutex_);
    sweep_.Abort();
}

json SweepPanel::Progress(std::size_t from)
{
    const bool running = sweep_.Running();
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
        csv += fmt::format("{},{}\n", p.hz, p.lock_ms ? fmt::format("{:.1f}", *p.lock_ms) : "");
    }
    return csv;
}

}  // namespace vontrel::serve::web
