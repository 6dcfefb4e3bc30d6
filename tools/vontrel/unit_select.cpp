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

Found Walk()
{
    service::Walk w = service::WalkUnits();
    return Found{std::move(w.units), std::move(w.unopened), w.status};
}

bool HeldElsewhere(const Found &f)
{
    return std::any_of(f.unopened.begin(), f.unopened.end(), [](const service::Unopened &u) {
        return u.cause == service::Cause::kHeld && u.holder != "this program";
    });
}

// A converter that did not open in the walk but opened alone: its unit
// does not answer, or its holder let it go between the two (programs taking
// turns on a unit). Only waiting tells which.
bool OpenedAlone(const Found &f)
{
    return std::any_of(f.unopened.begin(), f.unopened.end(), [](const service::Unopened &u) {
        return u.cause == service::Cause::kNotAnswering;
    });
}

// Walks the converters until `done` or, while converters are held by
// another program (or were let go meanwhile), until --wait-unit seconds
// have passed.
template <typename Done>
Found WalkUntil(const Globals &g, Done &&done)
{
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(g.wait_unit_s));
    for (;;) {
        Found f = Walk();
        const auto now = Clock::now();
        if (done(f) || !(HeldElsewhere(f) || OpenedAlone(f)) || now >= deadline) {
            return f;
        }
        f.units.clear();  // close them before waiting, so that others may have them
        std::this_thread::sleep_for(std::min<Clock::duration>(kWaitUnitRetry, deadline - now));
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

// What to try, from the causes found.
std::string Hint(const Globals &g, const Found &f)
{
    if (HeldElsewhere(f)) {
        return fmt::format(
            "close the other program, or wait for the unit with --wait-unit SECONDS (this run "
            "waited {} s)",
            g.wait_unit_s);
    }
    const bool silent = std::any_of(
        f.unopened.begin(), f.unopened.end(),
        [](const service::Unopened &u) { return u.cause == service::Cause::kNotAnswering; });
    return silent ? "check the unit's power and cable; a unit that stalled answers again once it "
                    "has sent what it owed"
                  : NoUnitHint();
}

// The error for a unit that is not among those that opened, with each
// converter's cause.
DeviceError NotOpened(const Globals &g, const Found &f, const std::string &text)
{
    return DeviceError(text + UnopenedLines(f.unopened), Hint(g, f),
                       nlohmann::ordered_json::object(), D2xxWalkMessage());
}

// Units that did not open where nothing explains why (the converter
// library failed as a whole, a simulated bench out of order): the walk's
// status, and what the D2XX library said, as before any cause was known.
void ThrowIfUnexplained(const Found &f)
{
    const bool explained =
        std::any_of(f.unopened.begin(), f.unopened.end(),
                    [](const service::Unopened &u) { return u.cause != service::Cause::kOther; });
    if (f.units.empty() && f.status && !explained) {
        throw std::system_error(f.status, "Vontrel_Open");
    }
}

bool Matches(const Unit &u, const UnitSelector &s)
{
    return (s.by == UnitSelector::By::kSerial ? u.serial() : u.index()) == s.value;
}

}  // namespace

std::string UnopenedLines(const std::vector<service::Unopened> &unopened)
{
    std::string out;
    for (const service::Unopened &u : unopened) {
        out += "\n  " + u.Text();
    }
    return out;
}

Found OpenUnits(const Globals &g)
{
    Found f = WalkUntil(g, [](const Found &found) { return found.unopened.empty(); });
    ThrowIfUnexplained(f);
    if (f.units.empty() && f.unopened.empty()) {
        throw DeviceError("no unit found", NoUnitHint());
    }
    if (f.units.empty()) {
        throw NotOpened(g, f, "no unit could be used:");
    }
    return f;
}

Unit OpenSelected(const Globals &g)
{
    const auto pick = [&](Found &f) -> Unit * {
        for (Unit &u : f.units) {
            if (g.unit ? Matches(u, *g.unit) : f.units.size() == 1 && f.unopened.empty()) {
                return &u;
            }
        }
        return nullptr;
    };
    const auto several = [&](const Found &f) {
        return !g.unit && f.units.size() + f.unopened.size() > 1;
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
        return std::move(*chosen);  // the others close here
    }
    ThrowIfUnexplained(f);
    if (f.units.empty() && f.unopened.empty()) {
        throw DeviceError("no unit found", NoUnitHint());
    }
    if (several(f)) {
        const std::string others =
            f.unopened.empty()
                ? ""
                : "\n  and converters that could not be used:" + UnopenedLines(f.unopened);
        throw DeviceError(
            fmt::format("{} units found; choose one with --unit:{}{}",
                        f.units.size() + f.unopened.size(), Candidates(f.units), others),
            "");
    }
    if (!g.unit) {
        throw NotOpened(g, f, "the unit could not be used:");
    }
    const std::string wanted = fmt::format(
        "{} {}", g.unit->by == UnitSelector::By::kSerial ? "serial" : "index", g.unit->value);
    if (!f.unopened.empty()) {
        throw NotOpened(g, f,
                        fmt::format("no unit with {} could be opened; the units that opened "
                                    "are:{}\n  and these converters could not be used (it may "
                                    "be behind one):",
                                    wanted, f.units.empty() ? " none" : Candidates(f.units)));
    }
    throw DeviceError(
        fmt::format("no unit with {}; the units found are:{}", wanted, Candidates(f.units)), "");
}

}  // namespace vontrel::tool
