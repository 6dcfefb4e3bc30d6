// SPDX-License-Identifier: MIT
// The SCPI parser of the instrument server: one line of text in, the
// program units it holds out. Pure: no I/O, no state between calls.
//
//   FREQ 2.455 GHZ;:POW 5;*OPC?
//
// is three units: FREQ with the number 2.455 and the suffix GHZ, POW with
// the number 5 (absolute: it starts at the root), and the common query
// *OPC?. Headers are matched against the command tree with HeaderPattern;
// numbers are converted with NumericValue.
#ifndef VONTREL_FRONTENDS_SCPI_SCPI_PARSER_H
#define VONTREL_FRONTENDS_SCPI_SCPI_PARSER_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/scpi/scpi_error.h"

namespace vontrel::scpi {

// The longest program mnemonic or character data, as IEEE 488.2 sets it.
inline constexpr std::size_t kMaxMnemonic = 12;

struct Parameter {
    enum class Kind { kNumber, kCharacter, kString };
    Kind kind = Kind::kNumber;
    std::string text;    // the number as written, the mnemonic in upper case, or the string
    std::string suffix;  // a number's unit suffix in upper case, or ""
};

struct ProgramUnit {
    bool common = false;             // a common command: *IDN?
    bool absolute = false;           // the header starts with ':'
    bool query = false;              // the header ends with '?'
    std::vector<std::string> nodes;  // the header's mnemonics in upper case
    std::vector<Parameter> parameters;
};

struct ParsedLine {
    std::vector<ProgramUnit> units;  // every unit before the first error, whole
    std::optional<Error> error;      // what stopped the parse; the rest of the line is dropped
};

// Parses one line without its terminator. Units are separated by ';' (an
// empty unit is skipped), a header from its parameters by blanks,
// parameters by ','. Numbers are decimal with an optional exponent and
// suffix, character data is a mnemonic, strings are quoted with ' or "
// (a doubled quote stands for itself). Block data, non-decimal numbers and
// expressions are refused (-104); bytes that are neither printable ASCII
// nor blanks are refused (-101).
ParsedLine ParseLine(std::string_view line);

// A node of the command tree written as it is documented:
// "[SOURce:]FREQuency[:CW|:FIXed]" or "*IDN". Brackets make a node
// optional, '|' separates alternative mnemonics, upper case marks the
// short form. A mnemonic matches its short form or its whole long form, in
// any case.
class HeaderPattern {
public:
    // Throws std::invalid_argument on a malformed pattern.
    explicit HeaderPattern(std::string_view pattern);

    bool common() const { return common_; }
    bool Matches(const std::vector<std::string> &nodes) const;

private:
    struct Form {
        std::string short_form, long_form;
    };
    struct Node {
        std::vector<Form> forms;
        bool optional = false;
    };
    bool MatchFrom(std::size_t pattern, const std::vector<std::string> &nodes,
                   std::size_t node) const;

    std::vector<Node> nodes_;
    bool common_ = false;
};

// The header's nodes without their numeric suffixes (SOUR1 is SOUR). The
// instrument has one of each subsystem, so suffix 1, the default, is taken;
// any other throws -114.
std::vector<std::string> WithoutSuffixes(const std::vector<std::string> &nodes);

// What a numeric parameter measures, and so which suffixes it takes.
enum class Quantity {
    kPlain,      // no suffix
    kFrequency,  // HZ (the default), KHZ, MHZ, GHZ; the value comes back in MHz
    kTime,       // S (the default), MS, US, NS; the value comes back in seconds
};

// The value of a numeric parameter in the quantity's unit, correctly
// rounded from the decimal text: 2.455 GHZ is exactly 2455 MHz. A value
// beyond the range of a double comes back infinite (or zero), for the
// caller's range check to refuse. Throws -131 for a suffix the quantity
// does not take, -138 for a suffix on a plain number.
double NumericValue(const Parameter &p, Quantity quantity);

}  // namespace vontrel::scpi

#endif
