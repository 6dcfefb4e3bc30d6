// SPDX-License-Identifier: MIT
// The vontrel tool's subcommands, over the typed API (include/vontrel.hpp).
// Each one runs after every command-line check has passed, and returns the
// exit status; failures are thrown (std::system_error, DeviceError,
// OutputError, std::invalid_argument) and reported by report.h.
#ifndef VONTREL_TOOLS_VONTREL_COMMANDS_H
#define VONTREL_TOOLS_VONTREL_COMMANDS_H

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "include/vontrel.hpp"
#include "service/settings_change.h"
#include "service/units_file.h"
#include "tools/vontrel/checks.h"

namespace vontrel::tool {

using service::Change;
using service::ChangeText;
using service::IsEmpty;
using service::Merge;

// A failure on the bench that is not a D2XX status (no unit, not locked):
// exit status 1, with a hint of what to try. With --json, `report` is what
// the command found before failing; the error is added to it, so that
// standard output holds one JSON document. `why` is the D2XX library's own
// words, when it has any.
class DeviceError : public std::runtime_error {
public:
    DeviceError(const std::string &what, std::string hint,
                nlohmann::ordered_json report = nlohmann::ordered_json::object(),
                std::string why = {})
        : std::runtime_error(what),
          hint_(std::move(hint)),
          report_(std::move(report)),
          why_(std::move(why))
    {
    }
    const std::string &hint() const { return hint_; }
    const nlohmann::ordered_json &report() const { return report_; }
    const std::string &why() const { return why_; }

private:
    std::string hint_;
    nlohmann::ordered_json report_;
    std::string why_;
};

// While a unit or switch another program has open is waited for
// (--wait-unit), the pause between two looks.
inline constexpr auto kWaitUnitRetry = std::chrono::milliseconds(50);

struct Globals {
    std::optional<UnitSelector> unit;
    bool json = false;
    double wait_unit_s = VONTREL_UNIT_WAIT_DEFAULT_S;  // for a unit another program has open
    std::string units_path;  // --units FILE; "" for the default one (units_file.h)

    // The units file, read (and checked) at the first call: std::invalid_argument
    // for a file it cannot take, std::runtime_error for one it cannot read.
    const service::UnitsFile &Units() const;

private:
    mutable std::optional<service::UnitsFile> units_;
};

// How long to poll lock detect, in seconds; nullopt: do not wait.
using LockWait = std::optional<double>;

struct SweepOptions {
    std::vector<double> points;
    double dwell_s = 0.0;
    double lock_timeout_s = VONTREL_LOCK_TIMEOUT_DEFAULT_S;
    Change change;  // level or attenuation for the whole sweep
    std::string output;
    std::string format;  // "csv" or "json"
};

int List(const Globals &g);
int Info(const Globals &g);
// With `timing`, also each library call's exchanges and the time they took.
int Status(const Globals &g, bool timing = false);
int Set(const Globals &g, const Change &change, LockWait wait);
int Lock(const Globals &g, LockWait wait);
int Preset(const Globals &g);
int SavePreset(const Globals &g);
int Sweep(const Globals &g, const SweepOptions &options);

// Waits for lock (service::WaitForLock); the whole milliseconds it took,
// or nullopt when the unit did not lock in time.
std::optional<long> TimedWaitLock(const vontrel::Unit &unit, double timeout_s);

}  // namespace vontrel::tool

#endif
