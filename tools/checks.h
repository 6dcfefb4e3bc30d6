// What the vontrel tool checks on its command line before it opens a unit:
// unit selectors, value ranges, and the points of a sweep. Everything here
// is pure and throws UsageError.
#ifndef VONTREL_TOOLS_CHECKS_H
#define VONTREL_TOOLS_CHECKS_H

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

// --unit serial:N or index:N.
struct UnitSelector {
    enum class By { kSerial, kIndex } by = By::kSerial;
    int value = 0;
};
UnitSelector ParseUnitSelector(const std::string &text);

// "on" / "off".
bool ParseOnOff(const std::string &option, const std::string &text);

// The ranges the unit takes (include/vontrel_limits.h is their one home).
inline constexpr double kMinFrequencyMHz = VONTREL_FREQ_MIN_MHZ;
inline constexpr double kMaxFrequencyMHz = VONTREL_FREQ_MAX_MHZ;
inline constexpr double kMaxAttenuation = VONTREL_ATTEN_MAX;
// The widest level range of any unit; the unit's own range at a frequency
// is narrower and is checked against its calibration.
inline constexpr double kMinLevel = VONTREL_LEVEL_MIN;
inline constexpr double kMaxLevel = VONTREL_LEVEL_MAX;
inline constexpr double kLevelStep = VONTREL_LEVEL_STEP;

void CheckFrequency(const std::string &option, double mhz);
void CheckAttenuation(double value);
void CheckLevel(double value);
void CheckInteger(const std::string &option, double value, int min, int max);

// The frequencies of a sweep from start to stop (either direction) in steps
// of |step|; stop is included when the steps reach it. Every point is checked.
std::vector<double> SweepPoints(double start, double stop, double step);

// Points from a text: one frequency per line, the first comma- or
// blank-separated field; blank lines and lines starting with # are skipped.
// `name` is used in messages.
std::vector<double> ParsePointList(const std::string &text, const std::string &name);

// The most points one sweep takes.
inline constexpr std::size_t kMaxSweepPoints = 100000;

}  // namespace vontrel::tool

#endif
