// SPDX-License-Identifier: MIT
// A unit's sweep as the web pages run it: a list sweep of the service
// layer, started under the one rule every front end's sweep keeps
// (service::StartSweep: one sweep on a unit at a time, not against another
// session's lock), with each point's lock time kept for the plot and the
// CSV. A start that is refused leaves the sweep that runs, and its record,
// as they were.
#ifndef VONTREL_FRONTENDS_HTTP_SWEEP_PANEL_H
#define VONTREL_FRONTENDS_HTTP_SWEEP_PANEL_H

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "frontends/http/panel_state.h"
#include "service/list_sweep.h"

namespace vontrel::serve::web {

class SweepPanel {
public:
    // `session`: the pages' session on the unit, shared with their changes.
    SweepPanel(service::UnitOwner &owner, std::size_t index, News &news, service::Log log,
               service::ConnectionId session);

    // Starts the sweep a page asks for: {"start_hz", "stop_hz", "step_hz"}
    // or {"list_hz": [...]}, with "dwell_s" and either "level" or
    // "attenuation" if wanted (set first, with the start, in one sequence).
    // Throws std::invalid_argument for a request of another shape,
    // service::Refusal when it is refused, std::system_error when an
    // exchange failed; nothing is changed then.
    void Start(const nlohmann::json &request);

    // Stops the sweep after its current point.
    void Abort();

    // {"generation", "running", "total", "error", "points": [[hz, ms|null]]}
    // with the points from `from` on.
    nlohmann::json Progress(std::size_t from = 0);

    // The points as CSV: frequency in Hz, lock time in ms (empty: no lock).
    std::string Csv();

private:
    struct Point {
        double hz;
        std::optional<double> lock_ms;
    };

    service::UnitOwner &owner_;
    News &news_;
    const service::Log log_;
    const service::ConnectionId session_;
    std::mutex start_mutex_;  // one start or abort at a time
    std::mutex points_mutex_;
    std::vector<Point> points_;
    std::uint64_t generation_ = 0;
    std::size_t total_ = 0;
    std::string error_;
    // Last: it stops first, before the members it hands points to go.
    service::ListSweep sweep_;
};

}  // namespace vontrel::serve::web

#endif
