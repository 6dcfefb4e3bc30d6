// SPDX-License-Identifier: MIT
// What the vontrel tool checks on its command line before it opens a unit:
// numbers, unit selectors, value ranges, time-outs, and the points of a
// sweep. Everything here throws UsageError; the ranges come from
// vontrel_limits.h through the C++ API's checks.
#ifndef VONTREL_TOOLS_VONTREL_CHECKS_H
#define VONTREL_TOOLS_VONTREL_CHECKS_H

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vontrel_limits.h"

namespace vontrel::tool {

// A mistake on the command line: reported with exit status 2, and always
// found before anything is sent to a unit.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A decimal number as a person writes it: an optional sign, digits with an
// optional point, an optional exponent; finite. No hexadecimal, no "inf" or
// "nan", no blanks, nothing after it.
std::optional<double> ParseDecimal(const std::string &text);

// `text` fit to be shown in a message: control bytes escaped, cut at 60
// characters.
std::string Printable(const std::string &text);

// --unit serial:N or index:N.
struct UnitSelector {
    enum class By { kSerial, kIndex } by = By::kSerial;
    int value = 0;
};
UnitSelector ParseUnitSelector(const std::string &text);

// "on" / "off".
bool ParseOnOff(const std::string &option, const std::string &text);

void CheckFrequency(const std::string &option, double mhz);
void CheckAttenuation(double value);
void CheckLevel(double value);
void CheckInteger(const std::string &option, double value, int min, int max);
// A time in seconds: finite, 0 to max_s.
void CheckSeconds(const std::string &option, double seconds, double max_s = VONTREL_TIMEOUT_MAX_S);

// The frequencies of a sweep from start to stop (either direction) in steps
// of step; see vontrel::sweep_points.
std::vector<double> SweepPoints(double start, double stop, double step);

// A point list: one frequency in MHz a line, as a decimal number with
// blanks around it at most; blank lines and lines starting with # are
// skipped, a UTF-8 byte-order mark and CR LF line ends are taken. Any other
// line is refused with its number. `name` is used in messages.
std::vector<double> ParsePointList(const std::string &text, const std::string &name);

// The point list in the file at `path`, read up to kMaxListBytes.
std::vector<double> ReadPointList(const std::string &path);

// Bounds on a point list file: its size, and one line's length.
inline constexpr std::size_t kMaxListBytes = 4u << 20;
inline constexpr std::size_t kMaxListLine = 256;

}  // namespace vontrel::tool

#endif
