// SPDX-License-Identifier: MIT
// Values and units of the SCPI instrument: reading a parameter as a
// frequency, level, attenuation, dwell, whole number or switch, checked
// against the limits of vontrel_limits.h, and formatting answers.
#ifndef VONTREL_FRONTENDS_SCPI_SCPI_VALUES_H
#define VONTREL_FRONTENDS_SCPI_SCPI_VALUES_H

#include <string>
#include <vector>

#include "frontends/scpi/scpi_parser.h"

namespace vontrel::serve {

// How long a list sweep dwells on a point unless told otherwise, in seconds.
inline constexpr double kDefaultDwellS = 0.01;

std::string FormatNumber(double v);

// Frequencies are answered in Hz, the SCPI default unit, to the millihertz.
std::string FormatHz(double mhz);

// Text from the unit as it may stand in an answer: printable ASCII, no
// separators or quotes.
std::string Printable(const std::string &text);

// A numeric parameter, or one of the words standing for a value.
struct Value {
    enum class Word { kNone, kMin, kMax, kDef } word = Word::kNone;
    double number = 0.0;

    double Or(double min, double max, double def = 0.0) const
    {
        return word == Word::kMin   ? min
               : word == Word::kMax ? max
               : word == Word::kDef ? def
                                    : number;
    }
};

// A number in the quantity's unit, MIN, MAX or (when `def_allowed`) DEF;
// throws scpi::Error for anything else.
Value ReadValue(const scpi::Parameter &p, scpi::Quantity quantity, bool def_allowed = false);

// The word MIN or MAX as a query's parameter.
Value::Word ReadWord(const scpi::Parameter &p);

// Throws -222 unless min <= v <= max; `shown` and `range` make the message.
void CheckRange(double v, double min, double max, const std::string &shown,
                const std::string &range);

// The checked values, each in its range (-222) and on its grid (-224).
double CheckedFrequency(const scpi::Parameter &p);  // MHz
double CheckedLevel(double level);  // any unit's range; its own is the level policy's
double CheckedAttenuation(const scpi::Parameter &p);
double CheckedDwell(const scpi::Parameter &p);  // s
int CheckedInteger(const scpi::Parameter &p, int min, int max, const char *what);
bool CheckedBoolean(const scpi::Parameter &p);

// A mnemonic out of `words` (short or long form, as HeaderPattern writes
// them, e.g. "IMMediate"), returned in its short form; -224 otherwise.
std::string CheckedWord(const scpi::Parameter &p, const std::vector<const char *> &words);

template <typename T, typename F>
std::string Join(const std::vector<T> &values, F &&format)
{
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i > 0 ? "," : "") + format(values[i]);
    }
    return out;
}

}  // namespace vontrel::serve

#endif
