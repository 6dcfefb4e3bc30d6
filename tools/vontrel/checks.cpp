// SPDX-License-Identifier: MIT
// Command-line checks of the vontrel tool.
#include "tools/vontrel/checks.h"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <system_error>

#include "include/vontrel.hpp"

namespace vontrel::tool {
namespace {

bool ParseInt(const std::string &text, int &out)
{
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

// Runs one of the C++ API's checks, reporting what it refuses as a usage
// error.
template <typename Check>
void AsUsage(Check &&check)
{
    try {
        check();
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    }
}

}  // namespace

std::optional<double> ParseDecimal(const std::string &text)
{
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
            ++i;
        }
        return i - from;
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) {
        return std::nullopt;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (digits() == 0) {
            return std::nullopt;
        }
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    // from_chars takes no leading '+'; the form is already checked.
    const std::size_t from = text[0] == '+' ? 1 : 0;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data() + from, text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::string Printable(const std::string &text)
{
    constexpr std::size_t kMost = 60;
    std::string out;
    for (const char c : text.substr(0, kMost)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? fmt::format("\\x{:02x}", byte) : std::string(1, c);
    }
    return text.size() > kMost ? out + "..." : out;
}

UnitSelector ParseUnitSelector(const std::string &text)
{
    const auto colon = text.find(':');
    UnitSelector s;
    const std::string kind = text.substr(0, colon);
    if (colon == std::string::npos || (kind != "serial" && kind != "index") ||
        !ParseInt(text.substr(colon + 1), s.value) || s.value < 0) {
        throw UsageError(
            fmt::format("--unit takes serial:N or index:N (for example serial:4660), not '{}'",
                        Printable(text)));
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
    throw UsageError(fmt::format("{} takes on or off, not '{}'", option, Printable(text)));
}

void CheckFrequency(const std::string &option, double mhz)
{
    AsUsage([&] { vontrel::check_frequency(mhz, option); });
}

void CheckAttenuation(double value)
{
    AsUsage([&] { vontrel::check_attenuation(value, "--atten"); });
}

void CheckLevel(double value)
{
    AsUsage([&] { vontrel::check_level(value, "--level"); });
}

void CheckInteger(const std::string &option, double value, int min, int max)
{
    if (!(value >= min && value <= max) || value != std::floor(value)) {
        throw UsageError(
            fmt::format("{} {} is outside what the unit takes: a whole number from {} to {}",
                        option, value, min, max));
    }
}

void CheckSeconds(const std::string &option, double seconds, double max_s)
{
    AsUsage([&] { vontrel::check_seconds(seconds, option, max_s); });
}

std::vector<double> SweepPoints(double start, double stop, double step)
{
    std::vector<double> points;
    AsUsage([&] { points = vontrel::sweep_points(start, stop, step); });
    return points;
}

std::vector<double> ParsePointList(const std::string &text, const std::string &name)
{
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::string_view rest = text;
    if (rest.starts_with(kByteOrderMark)) {
        rest.remove_prefix(kByteOrderMark.size());
    }
    std::vector<double> points;
    for (std::size_t number = 1; !rest.empty(); ++number) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.size() > kMaxListLine) {
            throw UsageError(fmt::format("{}:{}: the line is longer than {} characters", name,
                                         number, kMaxListLine));
        }
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        const std::string field(line);
        const std::optional<double> f = ParseDecimal(field);
        if (!f) {
            throw UsageError(fmt::format(
                "{}:{}: '{}' is not a frequency in MHz; the list takes one decimal number a "
                "line (blank lines and lines starting with # are skipped)",
                name, number, Printable(field)));
        }
        CheckFrequency(fmt::format("{}:{}: frequency", name, number), *f);
        if (points.size() == VONTREL_SWEEP_POINTS_MAX) {
            throw UsageError(
                fmt::format("{} has more than {} points", name, VONTREL_SWEEP_POINTS_MAX));
        }
        points.push_back(*f);
    }
    if (points.empty()) {
        throw UsageError(fmt::format("{} holds no frequency", name));
    }
    return points;
}

std::vector<double> ReadPointList(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxListBytes + 1, '\0');
    if (in) {
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
    }
    if (!in && !in.eof()) {
        throw UsageError(fmt::format("cannot read the point list {}: {}", path,
                                     std::generic_category().message(errno)));
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxListBytes) {
        throw UsageError(
            fmt::format("the point list {} is larger than {} MiB", path, kMaxListBytes >> 20));
    }
    return ParsePointList(text, path);
}

}  // namespace vontrel::tool
