// SPDX-License-Identifier: MIT
// vontrel sweep: programs a list of frequencies one after the other and
// waits for lock at each. No measured point is lost: each is written to the
// sweep file as soon as it is done; a point that cannot be programmed or
// measured (a level out of reach, a failed exchange) is recorded as such and
// the sweep goes on; SIGINT or SIGTERM end it after the current point (a
// second one at once). The exit status says whether every point locked.
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <limits>
#include <thread>

#include "include/vontrel.hpp"
#include "service/settings_change.h"
#include "tools/vontrel/commands.h"
#include "tools/vontrel/output.h"
#include "tools/vontrel/report.h"
#include "tools/vontrel/unit_select.h"

namespace vontrel::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Failed exchanges in a row after which the unit is taken to be gone.
constexpr int kMaxFailuresInARow = 3;
constexpr auto kDwellSlice = std::chrono::milliseconds(20);

volatile std::sig_atomic_t g_stop_signal = 0;  // NOLINT: set by the signal handler

void OnStopSignal(int sig)
{
    if (g_stop_signal != 0) {
        (void)std::signal(sig, SIG_DFL);  // a second signal ends the tool at once
        (void)std::raise(sig);
        return;
    }
    g_stop_signal = sig;
}

// While a sweep runs, SIGINT and SIGTERM ask it to stop after the current
// point.
class StopSignals {
public:
    StopSignals()
    {
        g_stop_signal = 0;
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~StopSignals()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    static bool Stopped() { return g_stop_signal != 0; }

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

void Dwell(double seconds)
{
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    for (auto now = Clock::now(); now < deadline && !StopSignals::Stopped(); now = Clock::now()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kDwellSlice, deadline - now));
    }
}

// Programs one point and waits for lock. `current` is the unit's state as
// far as it is known, and follows the unit.
Point Measure(Unit &unit, Settings &s, vontrel::Status &current, double mhz, double lock_timeout_s,
              bool &link_failed)
{
    Point p;
    p.frequency_mhz = mhz;
    s.frequency_mhz = mhz;
    link_failed = false;
    try {
        current = unit.apply(s, current);
        const auto lock_ms = TimedWaitLock(unit, lock_timeout_s, &StopSignals::Stopped);
        p.locked = lock_ms.has_value();
        p.lock_ms = lock_ms.value_or(-1);
        if (!p.locked && StopSignals::Stopped()) {
            p.error = "interrupted while waiting for lock";
        }
    } catch (const std::system_error &e) {
        p.error = DescribeFailure(e);
        link_failed = true;
        // The unit's state is no longer known; its level range is read again.
        current.level_min = std::numeric_limits<double>::quiet_NaN();
        current.level_max = current.level_min;
    } catch (const std::invalid_argument &e) {
        p.error = e.what();  // a level out of reach: the previous settings are back
    }
    return p;
}

std::string Summary(std::size_t done, std::size_t total, std::size_t locked, std::size_t failed)
{
    std::string text = fmt::format("{} of {} points locked", locked, done);
    if (failed > 0) {
        text += fmt::format(", {} could not be programmed or measured", failed);
    }
    if (done < total) {
        text += fmt::format(", {} of {} not done", total - done, total);
    }
    return text;
}

}  // namespace

int Sweep(const Globals &g, const SweepOptions &o)
{
    // The file is opened before the unit, so a path that cannot be written
    // stops the sweep before it starts; what it held is replaced only once
    // the unit is open and its state read.
    PointFile file(o.output, o.format);
    Unit unit = OpenSelected(g);
    vontrel::Status current = unit.status();
    Settings s = Merge(current, o.change);
    file.Begin();
    const std::size_t total = o.points.size();
    const bool terminal = !g.json && isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0;
    if (!g.json) {
        fmt::print("{}: sweeping {} points\n", UnitName(unit), total);
        fmt::print("{:>14}  {:<10} {}\n", "frequency MHz", "lock", "lock ms");
        FlushStandardOutput();
    }

    Json points = Json::array();
    std::size_t done = 0;
    std::size_t locked = 0;
    std::size_t failed = 0;
    int failures_in_a_row = 0;
    std::string stopped;  // why the sweep ended early
    const auto started = std::chrono::steady_clock::now();
    {
        const StopSignals stop;
        const ProgressBar bar(terminal);
        for (const double mhz : o.points) {
            if (StopSignals::Stopped()) {
                stopped = "interrupted";
                break;
            }
            bar.Show(done, total, mhz);
            bool link_failed = false;
            const Point p = Measure(unit, s, current, mhz, o.lock_timeout_s, link_failed);
            try {
                file.Write(p);
            } catch (const OutputError &e) {
                // The point still goes to standard output below.
                stopped =
                    fmt::format("{} ({}; standard output has every point)", e.what(), e.hint());
            }
            ++done;
            locked += p.locked ? 1 : 0;
            failed += p.error.empty() ? 0 : 1;
            points.push_back(PointJson(p));
            if (!g.json) {
                bar.Clear();
                fmt::print("{:>14}  {:<10} {}{}\n", p.frequency_mhz,
                           !p.error.empty() ? "FAILED"
                           : p.locked       ? "locked"
                                            : "NOT LOCKED",
                           p.locked ? std::to_string(p.lock_ms) : "-",
                           p.error.empty() ? "" : "  " + p.error);
                FlushStandardOutput();
            }
            if (!stopped.empty()) {
                break;
            }
            failures_in_a_row = link_failed ? failures_in_a_row + 1 : 0;
            if (failures_in_a_row == kMaxFailuresInARow) {
                stopped = fmt::format("the unit stopped answering ({} points in a row failed)",
                                      kMaxFailuresInARow);
                break;
            }
            if (o.dwell_s > 0) {
                Dwell(o.dwell_s);
            }
        }
    }

    // The pace the user gets, dwell and lock waits included.
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double per_second = done > 0 && seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    Json j{{"unit", UnitJson(unit)},    {"points", points},
           {"complete", done == total}, {"file", o.output.empty() ? Json(nullptr) : Json(o.output)},
           {"seconds", seconds},        {"points_per_second", per_second}};
    const std::string summary = Summary(done, total, locked, failed);
    if (!g.json) {
        fmt::print("{}{}\n", summary, o.output.empty() ? "" : "; written to " + o.output);
        if (done > 0) {
            fmt::print("{} points in {:.2f} s: {:.2f} points a second, {:.1f} ms a point\n", done,
                       seconds, per_second, 1000.0 * seconds / static_cast<double>(done));
        }
    }
    if (!stopped.empty() || locked < total) {
        const std::string hint = !stopped.empty() ? "every point done is in the output"
                                 : failed > 0     ? "see the failed points' errors"
                                                  : "try a longer --lock-timeout";
        throw DeviceError(stopped.empty() ? summary : stopped + ": " + summary, hint, j);
    }
    if (g.json) {
        PrintJson(j);
    }
    return kExitOk;
}

}  // namespace vontrel::tool
