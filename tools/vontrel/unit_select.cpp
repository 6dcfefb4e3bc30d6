// SPDX-License-Identifier: MIT
// Opening the unit a command works on.
#include "tools/vontrel/unit_select.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "include/vontrel_status.h"
#include "tools/vontrel/doctor.h"

namespace vontrel::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetry = std::chrono::milliseconds(50);

Found Walk()
{
    Discovery d = discover();
    Found f;
    f.not_opened = d.matched - static_cast<int>(d.units.size());
    f.units = std::move(d.units);
    f.status = d.status;
    if (f.not_opened > 0) {
        f.why = D2xxWalkMessage();
    }
    return f;
}

// Whether the units that did not open are (as far as the status tells) in
// use by another program, rather than failing.
bool InUse(const Found &f)
{
    return f.not_opened > 0 && (!f.status || f.status.value() == VONTREL_FT_DEVICE_NOT_OPENED);
}

// Walks the converters until `done` or, while units are in use, until
// --wait-unit seconds have passed.
template <typename Done>
Found WalkUntil(const Globals &g, Done &&done)
{
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(g.wait_unit_s));
    for (;;) {
        Found f = Walk();
        const auto now = Clock::now();
        if (done(f) || !InUse(f) || now >= deadline) {
            return f;
        }
        f.units.clear();  // close them before waiting, so that others may have them
        std::this_thread::sleep_for(std::min<Clock::duration>(kRetry, deadline - now));
    }
}

std::string Candidates(const std::vector<Unit> &units)
{
    std::string out;
    for (const Unit &u : units) {
        out += fmt::format("\n  --unit serial:{}   (index:{})", u.serial(), u.index());
    }
    return out;
}

std::string WaitHint(const Globals &g)
{
    return fmt::format(
        "close the other program, or wait for the unit with --wait-unit SECONDS (this run waited "
        "{} s)",
        g.wait_unit_s);
}

// A unit that did not open because it is in use, with what the D2XX
// library said about it (a serial port names the port and its holder; a
// path that is no serial port at all shows here too).
DeviceError InUseError(const Globals &g, const Found &f, const std::string &text)
{
    return DeviceError(text, WaitHint(g), nlohmann::ordered_json::object(), f.why);
}

// Units that did not open for another reason than being in use: the walk's
// status says why.
void ThrowIfFailed(const Found &f)
{
    if (f.not_opened > 0 && !InUse(f)) {
        throw std::system_error(f.status, "Vontrel_Open");
    }
}

bool Matches(const Unit &u, const UnitSelector &s)
{
    return (s.by == UnitSelector::By::kSerial ? u.serial() : u.index()) == s.value;
}

}  // namespace

std::string InUseText(int count)
{
    return fmt::format("{} {} in use by another program", count,
                       count == 1 ? "unit is" : "units are");
}

Found OpenUnits(const Globals &g)
{
    Found f = WalkUntil(g, [](const Found &found) { return found.not_opened == 0; });
    if (f.units.empty() && f.not_opened == 0) {
        throw DeviceError("no unit found", NoUnitHint());
    }
    ThrowIfFailed(f);
    if (f.units.empty()) {
        throw InUseError(g, f, InUseText(f.not_opened));
    }
    return f;
}

Unit OpenSelected(const Globals &g)
{
    const auto pick = [&](Found &f) -> Unit * {
        for (Unit &u : f.units) {
            if (g.unit ? Matches(u, *g.unit) : f.units.size() == 1 && f.not_opened == 0) {
                return &u;
            }
        }
        return nullptr;
    };
    const auto several = [&](const Found &f) {
        return !g.unit && static_cast<int>(f.units.size()) + f.not_opened > 1;
    };
    Found f = WalkUntil(g, [&](Found &found) { return pick(found) != nullptr || several(found); });
    if (g.unit && g.unit->by == UnitSelector::By::kSerial) {
        // Two units that report one serial number: the index tells them apart.
        std::string indices;
        for (const Unit &u : f.units) {
            indices += Matches(u, *g.unit) ? fmt::format("\n  --unit index:{}", u.index()) : "";
        }
        if (std::count(indices.begin(), indices.end(), '\n') > 1) {
            throw DeviceError(fmt::format("several units have serial {}; choose one by index:{}",
                                          g.unit->value, indices),
                              "");
        }
    }
    if (Unit *chosen = pick(f)) {
        if (f.not_opened > 0 && !InUse(f)) {
            fmt::print(stderr, "vontrel: warning: {} other units did not open ({})\n", f.not_opened,
                       f.status.message());
        }
        return std::move(*chosen);  // the others close here
    }
    if (f.units.empty() && f.not_opened == 0) {
        throw DeviceError("no unit found", NoUnitHint());
    }
    ThrowIfFailed(f);
    const std::string in_use =
        f.not_opened > 0 ? fmt::format("\n  and {}", InUseText(f.not_opened)) : "";
    if (several(f)) {
        throw DeviceError(fmt::format("{} units found; choose one with --unit:{}{}",
                                      f.units.size() + static_cast<std::size_t>(f.not_opened),
                                      Candidates(f.units), in_use),
                          "");
    }
    if (!g.unit) {
        throw InUseError(g, f, "the unit is in use by another program");
    }
    const std::string wanted = fmt::format(
        "{} {}", g.unit->by == UnitSelector::By::kSerial ? "serial" : "index", g.unit->value);
    if (f.not_opened > 0) {
        throw InUseError(g, f,
                         fmt::format("no unit with {} could be opened: {} (it may be the one); "
                                     "the units that opened are:{}",
                                     wanted, InUseText(f.not_opened),
                                     f.units.empty() ? " none" : Candidates(f.units)));
    }
    throw DeviceError(
        fmt::format("no unit with {}; the units found are:{}", wanted, Candidates(f.units)), "");
}

}  // namespace vontrel::tool
