// Command-line checks of the vontrel tool.
#include "tools/checks.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <sstream>

namespace vontrel::tool {
namespace {

bool ParseInt(const std::string &text, int &out)
{
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseDouble(const std::string &text, double &out)
{
    std::size_t used = 0;
    try {
        out = std::stod(text, &used);
    } catch (const std::exception &) {
        return false;
    }
    return used == text.size() && std::isfinite(out);
}

bool OnQuarterStep(double value)
{
    const double steps = value / kLevelStep;
    return steps == std::floor(steps);
}

}  // namespace

UnitSelector ParseUnitSelector(const std::string &text)
{
    const auto colon = text.find(':');
    UnitSelector s;
    const std::string kind = text.substr(0, colon);
    if (colon == std::string::npos || (kind != "serial" && kind != "index") ||
        !ParseInt(text.substr(colon + 1), s.value) || s.value < 0) {
        throw UsageError(fmt::format(
            "--unit takes serial:N or index:N (for example serial:4660), not '{}'", text));
    }
    s.by = kind == "serial" ? UnitSelector::By::kSerial : UnitSelector::By::kIndex;
    return s;
}

bool ParseOnOff(const std::string &option, const std::string &text)
{
    if (text == "on") {
        return true;
    }
    if (text == "off") {
        return false;
    }
    throw UsageError(fmt::format("{} takes on or off, not '{}'", option, text));
}

void CheckFrequency(const std::string &option, double mhz)
{
    if (!(mhz >= kMinFrequencyMHz && mhz <= kMaxFrequencyMHz)) {
        throw UsageError(fmt::format("{} {} MHz is outside the unit's range, {} to {} MHz", option,
                                     mhz, kMinFrequencyMHz, kMaxFrequencyMHz));
    }
}

void CheckAttenuation(double value)
{
    if (!(value >= 0.0 && value <= kMaxAttenuation) || !OnQuarterStep(value)) {
        throw UsageError(
            fmt::format("--atten {} is not an attenuation the unit takes: 0 to {} in steps of 0.25",
                        value, kMaxAttenuation));
    }
}

void CheckLevel(double value)
{
    if (!(value >= kMinLevel && value <= kMaxLevel) || !OnQuarterStep(value)) {
        throw UsageError(fmt::format(
            "--level {} is not a level the unit takes: {} to {} in steps of 0.25 (the unit's "
            "own range at a frequency is shown by 'vontrel status')",
            value, kMinLevel, kMaxLevel));
    }
}

void CheckInteger(const std::string &option, double value, int min, int max)
{
    if (!(value >= min && value <= max) || value != std::floor(value)) {
        throw UsageError(
            fmt::format("{} {} is outside what the unit takes: a whole number from {} to {}",
                        option, value, min, max));
    }
}

std::vector<double> SweepPoints(double start, double stop, double step)
{
    CheckFrequency("--start", start);
    CheckFrequency("--stop", stop);
    if (!(step > 0.0) || !std::isfinite(step)) {
        throw UsageError(fmt::format("--step {} MHz must be greater than 0", step));
    }
    // Counting steps rather than adding them keeps the points exact
    // multiples of the step; a hair of tolerance takes in a stop that the
    // decimal step reaches only up to rounding.
    const double span = std::fabs(stop - start);
    const double count = std::floor(span / step + 1e-9) + 1.0;
    if (count > static_cast<double>(kMaxSweepPoints)) {
        throw UsageError(
            fmt::format("the sweep has {} points; at most {} are allowed", count, kMaxSweepPoints));
    }
    const double direction = stop >= start ? 1.0 : -1.0;
    std::vector<double> points;
    const auto n = static_cast<std::size_t>(count);
    points.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double f = start + direction * static_cast<double>(i) * step;
        // Rounding to a micro-hertz grid hides the binary residue of 0.1 steps.
        points.push_back(std::round(f * 1e6) / 1e6);
    }
    return points;
}

std::vector<double> ParsePointList(const std::string &text, const std::string &name)
{
    std::vector<double> points;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        const auto end = line.find_first_of(", \t\r;", first);
        const std::string field = line.substr(first, end == std::string::npos ? end : end - first);
        double f = 0.0;
        if (!ParseDouble(field, f)) {
            if (points.empty() && number == 1) {
                continue;  // a header line such as "frequency_mhz"
            }
            throw UsageError(
                fmt::format("{}:{}: '{}' is not a frequency in MHz", name, number, field));
        }
        CheckFrequency(fmt::format("{}:{}:", name, number), f);
        points.push_back(f);
        if (points.size() > kMaxSweepPoints) {
            throw UsageError(fmt::format("{} has more than {} points", name, kMaxSweepPoints));
        }
    }
    if (points.empty()) {
        throw UsageError(fmt::format("{} holds no frequency", name));
    }
    return points;
}

}  // namespace vontrel::tool
