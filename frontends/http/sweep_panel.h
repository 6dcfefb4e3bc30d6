// SPDX-License-Identifier: MIT
// A unit's sweep as the web pages run it: a list sweep of the instrument
// the pages share for that unit, so that it has one owner as any SCPI
// client's sweep does, with each point's lock time kept for the plot and
// the CSV.
#ifndef VONTREL_FRONTENDS_HTTP_SWEEP_PANEL_H
#define VONTREL_FRONTENDS_HTTP_SWEEP_PANEL_H

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "frontends/http/panel_state.h"
#include "frontends/scpi/instrument.h"

namespace vontrel::serve::web {

class SweepPanel {
public:
    SweepPanel(service::UnitOwner &owner, std::size_t index, News &news, service::Log log,
               const std::atomic<bool> &stopping);

    // Starts the sweep a page asks for: {"start_hz", "stop_hz", "step_hz"}
    // or {"list_hz": [...]}, with "dwell_s" and either "level" or
    // "attenuation" if wanted. Throws std::invalid_argument for a request
    // of another shape; returns the instrument's refusal, if any.
    std::optional<std::string> Start(const nlohmann::json &request);

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

    News &news_;
    std::mutex instrument_mutex_;  // one request at a time on the instrument
    std::mutex points_mutex_;
    std::vector<Point> points_;
    std::uint64_t generation_ = 0;
    std::size_t total_ = 0;
    bool ended_ = true;  // the sweep's errors have been read
    std::string error_;
    // Last: its sweep, which hands points to the members above, stops first.
    Instrument instrument_;
};

}  // namespace vontrel::serve::web

#endif
