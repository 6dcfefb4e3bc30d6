// The vontrel tool's subcommands, over the typed API (include/vontrel.hpp).
// Each one runs after every command-line check has passed, and returns the
// exit status; device failures are thrown as std::system_error or
// DeviceError.
#ifndef VONTREL_TOOLS_COMMANDS_H
#define VONTREL_TOOLS_COMMANDS_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/checks.h"
#include "tools/settings_change.h"

namespace vontrel::tool {

// A failure on the bench that is not a D2XX status (no unit, not locked):
// exit status 1, with a hint of what to try.
class DeviceError : public std::runtime_error {
public:
    DeviceError(const std::string &what, std::string hint)
        : std::runtime_error(what), hint_(std::move(hint))
    {
    }
    const std::string &hint() const { return hint_; }

private:
    std::string hint_;
};

struct Globals {
    std::optional<UnitSelector> unit;
    bool json = false;
};

// How long to poll lock detect, in seconds; nullopt: do not wait.
using LockWait = std::optional<double>;

struct SweepOptions {
    std::vector<double> points;
    double dwell_ms = 0.0;
    double lock_timeout_s = 1.0;
    Change change;  // level or attenuation for the whole sweep
    std::string output;
    std::string format;  // "csv" or "json"
};

int List(const Globals &g);
int Info(const Globals &g);
int Status(const Globals &g);
int Set(const Globals &g, const Change &change, LockWait wait);
int Lock(const Globals &g, LockWait wait);
int Preset(const Globals &g);
int SavePreset(const Globals &g);
int Sweep(const Globals &g, const SweepOptions &options);

// What to try after a failure with this D2XX status, or "".
std::string HintFor(int status);

}  // namespace vontrel::tool

#endif
