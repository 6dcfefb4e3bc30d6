// What the vontrel tool checks on its command line before it opens a unit:
// unit selectors, value ranges, and the points of a sweep. Everything here
// is pure and throws UsageError.
#ifndef VONTREL_TOOLS_CHECKS_H
#define VONTREL_TOOLS_CHECKS_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// The ranges the unit takes.
inline constexpr double kMinFrequencyMHz = 300.0;
inline constexpr double kMaxFrequencyMHz = 5000.0;
inline constexpr double kMaxAttenuation = 31.75;
// Level in mode 3: 0.25 * (table C - code) for a code of 0..127 and a
// table byte of 0..255. The unit's own range at a frequency is narrower.
inline constexpr double kMinLevel = -31.75;
inline constexpr double kMaxLevel = 63.75;
inline constexpr double kLevelStep = 0.25;

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
