// SPDX-License-Identifier: MIT
// Values and units of the SCPI instrument.
#include "frontends/scpi/scpi_values.h"

#include <fmt/format.h>

#include <cmath>

#include "include/vontrel_limits.h"

namespace vontrel::serve {

using scpi::Error;
using scpi::Parameter;
using scpi::Quantity;

std::string FormatNumber(double v)
{
    return fmt::format("{}", v == 0.0 ? 0.0 : v);
}

std::string FormatHz(double mhz)
{
    return FormatNumber(std::round(mhz * 1e9) / 1e3);
}

std::string Printable(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        out += c >= 0x20 && c < 0x7f && c != ',' && c != ';' && c != '"' ? c : '_';
    }
    return out;
}

Value ReadValue(const Parameter &p, Quantity quantity, bool def_allowed)
{
    Value v;
    switch (p.kind) {
        case Parameter::Kind::kString:
            throw Error(scpi::kDataTypeError, "a string is not a number");
        case Parameter::Kind::kCharacter:
            if (p.text == "MIN" || p.text == "MINIMUM") {
                v.word = Value::Word::kMin;
            } else if (p.text == "MAX" || p.text == "MAXIMUM") {
                v.word = Value::Word::kMax;
            } else if (def_allowed && (p.text == "DEF" || p.text == "DEFAULT")) {
                v.word = Value::Word::kDef;
            } else {
                throw Error(scpi::kIllegalParameterValue,
                            p.text + " is not a value here; give a number, MIN or MAX");
            }
            return v;
        case Parameter::Kind::kNumber:
            v.number = scpi::NumericValue(p, quantity);
            return v;
    }
    return v;
}

Value::Word ReadWord(const Parameter &p)
{
    const Value v =
        p.kind == Parameter::Kind::kCharacter ? ReadValue(p, Quantity::kPlain) : Value{};
    if (v.word == Value::Word::kNone) {
        throw Error(scpi::kIllegalParameterValue, "a query takes MIN or MAX here");
    }
    return v.word;
}

void CheckRange(double v, double min, double max, const std::string &shown,
                const std::string &range)
{
    if (!(v >= min && v <= max)) {
        throw Error(scpi::kDataOutOfRange, shown + " is outside " + range);
    }
}

namespace {

void CheckStep(double v, const std::string &shown)
{
    const double steps = v / VONTREL_LEVEL_STEP;
    if (steps != std::floor(steps)) {
        throw Error(scpi::kIllegalParameterValue,
                    fmt::format("{} is not a multiple of {}", shown, VONTREL_LEVEL_STEP));
    }
}

}  // namespace

double CheckedFrequency(const Parameter &p)
{
    const double mhz =
        ReadValue(p, Quantity::kFrequency).Or(VONTREL_FREQ_MIN_MHZ, VONTREL_FREQ_MAX_MHZ);
    CheckRange(
        mhz, VONTREL_FREQ_MIN_MHZ, VONTREL_FREQ_MAX_MHZ, FormatHz(mhz) + " Hz",
        fmt::format("{} to {} Hz", FormatHz(VONTREL_FREQ_MIN_MHZ), FormatHz(VONTREL_FREQ_MAX_MHZ)));
    return mhz;
}

double CheckedLevel(double level)
{
    const std::string shown = fmt::format("level {}", level);
    CheckRange(level, VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX, shown,
               fmt::format("{} to {}", VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX));
    CheckStep(level, shown);
    return level;
}

double CheckedAttenuation(const Parameter &p)
{
    const double atten = ReadValue(p, Quantity::kPlain).Or(0.0, VONTREL_ATTEN_MAX);
    const std::string shown = fmt::format("attenuation {}", atten);
    CheckRange(atten, 0.0, VONTREL_ATTEN_MAX, shown, fmt::format("0 to {}", VONTREL_ATTEN_MAX));
    CheckStep(atten, shown);
    return atten;
}

double CheckedDwell(const Parameter &p)
{
    const double s =
        ReadValue(p, Quantity::kTime, true).Or(0.0, VONTREL_DWELL_MAX_S, kDefaultDwellS);
    CheckRange(s, 0.0, VONTREL_DWELL_MAX_S, fmt::format("dwell {} s", s),
               fmt::format("0 to {} s", VONTREL_DWELL_MAX_S));
    return s;
}

int CheckedInteger(const Parameter &p, int min, int max, const char *what)
{
    const double v = ReadValue(p, Quantity::kPlain).Or(min, max);
    CheckRange(v, min, max, fmt::format("{} {}", what, v), fmt::format("{} to {}", min, max));
    if (v != std::floor(v)) {
        throw Error(scpi::kIllegalParameterValue, fmt::format("{} takes a whole number", what));
    }
    return static_cast<int>(v);
}

bool CheckedBoolean(const Parameter &p)
{
    if (p.kind == Parameter::Kind::kCharacter && (p.text == "ON" || p.text == "OFF")) {
        return p.text == "ON";
    }
    if (p.kind == Parameter::Kind::kNumber) {
        const double v = scpi::NumericValue(p, Quantity::kPlain);
        if (v == 0.0 || v == 1.0) {
            return v == 1.0;
        }
    }
    throw Error(scpi::kIllegalParameterValue, "a switch takes ON, OFF, 1 or 0");
}

std::string CheckedWord(const Parameter &p, const std::vector<const char *> &words)
{
    if (p.kind == Parameter::Kind::kCharacter) {
        for (const char *word : words) {
            const std::string long_form = word;
            std::string short_form;
            for (const char c : long_form) {
                if (c >= 'A' && c <= 'Z') {
                    short_form += c;
                }
            }
            std::string upper;
            for (const char c : long_form) {
                upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            }
            if (p.text == short_form || p.text == upper) {
                return short_form;
            }
        }
    }
    std::string choices;
    for (const char *word : words) {
        choices += (choices.empty() ? "" : ", ") + std::string(word);
    }
    throw Error(scpi::kIllegalParameterValue, "this takes one of " + choices);
}

}  // namespace vontrel::serve
