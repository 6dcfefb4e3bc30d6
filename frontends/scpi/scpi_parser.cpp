// SPDX-License-Identifier: MIT
// The SCPI parser: a hand-written scanner over one line, following the
// program message syntax of IEEE 488.2 where the server needs it.
#include "frontends/scpi/scpi_parser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace vontrel::scpi {
namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool IsAlpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsPrintable(char c)
{
    return c >= 0x20 && c < 0x7f;
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        c = Upper(c);
    }
    return out;
}

// A character as it can be shown in an error message.
std::string Shown(char c)
{
    if (IsPrintable(c)) {
        return std::string("'") + c + "'";
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0xF];
}

class Scanner {
public:
    explicit Scanner(std::string_view line) : line_(line) {}

    ParsedLine Run()
    {
        ParsedLine out;
        try {
            SkipBlanks();
            while (!AtEnd()) {
                if (Peek() == ';') {
                    ++pos_;
                    SkipBlanks();
                    continue;
                }
                out.units.push_back(Unit());
                SkipBlanks();
                if (!AtEnd()) {
                    if (Peek() != ';') {
                        Unexpected("after a command");
                    }
                    ++pos_;
                    SkipBlanks();
                }
            }
        } catch (const Error &e) {
            out.error = e;
        }
        return out;
    }

private:
    bool AtEnd() const { return pos_ >= line_.size(); }
    char Peek() const { return line_[pos_]; }

    void SkipBlanks()
    {
        while (!AtEnd() && IsBlank(Peek())) {
            ++pos_;
        }
    }

    // Throws for the character at the scanning position, or for the end.
    [[noreturn]] void Unexpected(const char *where) const
    {
        if (AtEnd()) {
            throw Error(kSyntaxError, std::string("the line ends too early ") + where);
        }
        const char c = Peek();
        if (!IsPrintable(c) && !IsBlank(c)) {
            throw Error(kInvalidCharacter, Shown(c) + " " + where);
        }
        throw Error(kSyntaxError, "unexpected " + Shown(c) + " " + where);
    }

    std::string Mnemonic(int too_long, const char *what)
    {
        const std::size_t start = pos_;
        if (AtEnd() || !IsAlpha(Peek())) {
            Unexpected(what);
        }
        while (!AtEnd() && (IsAlpha(Peek()) || IsDigit(Peek()) || Peek() == '_')) {
            ++pos_;
        }
        if (pos_ - start > kMaxMnemonic) {
            throw Error(too_long, std::string(what) + " is longer than 12 characters");
        }
        return UpperCase(line_.substr(start, pos_ - start));
    }

    ProgramUnit Unit()
    {
        ProgramUnit u;
        if (Peek() == '*') {
            ++pos_;
            u.common = true;
            u.nodes.push_back(Mnemonic(kMnemonicTooLong, "in the command header"));
        } else {
            if (Peek() == ':') {
                u.absolute = true;
                ++pos_;
            }
            u.nodes.push_back(Mnemonic(kMnemonicTooLong, "in the command header"));
            while (!AtEnd() && Peek() == ':') {
                ++pos_;
                u.nodes.push_back(Mnemonic(kMnemonicTooLong, "in the command header"));
            }
        }
        if (!AtEnd() && Peek() == '?') {
            u.query = true;
            ++pos_;
        }
        if (AtEnd() || Peek() == ';') {
            return u;
        }
        if (!IsBlank(Peek())) {
            Unexpected("after the command header");
        }
        SkipBlanks();
        if (AtEnd() || Peek() == ';') {
            return u;
        }
        for (;;) {
            u.parameters.push_back(Param());
            SkipBlanks();
            if (AtEnd() || Peek() == ';') {
                return u;
            }
            if (Peek() != ',') {
                if (IsPrintable(Peek())) {
                    throw Error(kInvalidSeparator,
                                "expected ',' or ';' but found " + Shown(Peek()));
                }
                Unexpected("between parameters");
            }
            ++pos_;
            SkipBlanks();
        }
    }

    Parameter Param()
    {
        if (AtEnd()) {
            Unexpected("where a parameter belongs");
        }
        const char c = Peek();
        if (IsDigit(c) || c == '+' || c == '-' || c == '.') {
            return Number();
        }
        if (IsAlpha(c)) {
            Parameter p;
            p.kind = Parameter::Kind::kCharacter;
            p.text = Mnemonic(kCharacterDataTooLong, "character data");
            return p;
        }
        if (c == '\'' || c == '"') {
            return String();
        }
        if (c == '#') {
            throw Error(kDataTypeError, "block data and non-decimal numbers are not accepted");
        }
        if (c == '(') {
            throw Error(kDataTypeError, "expressions are not accepted");
        }
        Unexpected("where a parameter belongs");
    }

    std::size_t Digits()
    {
        const std::size_t start = pos_;
        while (!AtEnd() && IsDigit(Peek())) {
            ++pos_;
        }
        return pos_ - start;
    }

    Parameter Number()
    {
        Parameter p;
        const std::size_t start = pos_;
        if (Peek() == '+' || Peek() == '-') {
            ++pos_;
        }
        std::size_t digits = Digits();
        if (!AtEnd() && Peek() == '.') {
            ++pos_;
            digits += Digits();
        }
        if (digits == 0) {
            throw Error(kSyntaxError, "a number needs at least one digit");
        }
        // An exponent is E with digits; an E without them starts a suffix.
        if (!AtEnd() && Upper(Peek()) == 'E') {
            std::size_t look = pos_ + 1;
            if (look < line_.size() && (line_[look] == '+' || line_[look] == '-')) {
                ++look;
            }
            if (look < line_.size() && IsDigit(line_[look])) {
                pos_ = look;
                Digits();
            }
        }
        p.text = std::string(line_.substr(start, pos_ - start));
        SkipBlanks();
        if (!AtEnd() && IsAlpha(Peek())) {
            const std::size_t suffix = pos_;
            while (!AtEnd() && IsAlpha(Peek())) {
                ++pos_;
            }
            if (pos_ - suffix > kMaxMnemonic) {
                throw Error(kInvalidSuffix, "the suffix is longer than 12 characters");
            }
            p.suffix = UpperCase(line_.substr(suffix, pos_ - suffix));
        }
        return p;
    }

    Parameter String()
    {
        Parameter p;
        p.kind = Parameter::Kind::kString;
        const char quote = Peek();
        ++pos_;
        for (;;) {
            if (AtEnd()) {
                throw Error(kInvalidStringData, "the string has no closing quote");
            }
            const char c = Peek();
            ++pos_;
            if (c == quote) {
                if (AtEnd() || Peek() != quote) {
                    return p;
                }
                ++pos_;  // a doubled quote stands for one
            } else if (!IsPrintable(c) && c != '\t') {
                --pos_;
                Unexpected("in a string");
            }
            p.text += c;
        }
    }

    std::string_view line_;
    std::size_t pos_ = 0;
};

bool FormMatches(const std::string &node, const std::string &short_form,
                 const std::string &long_form)
{
    return node == short_form || node == long_form;
}

}  // namespace

ParsedLine ParseLine(std::string_view line)
{
    return Scanner(line).Run();
}

HeaderPattern::HeaderPattern(std::string_view pattern)
{
    if (!pattern.empty() && pattern.front() == '*') {
        common_ = true;
        pattern.remove_prefix(1);
    }
    auto add_node = [this](std::string_view text, bool optional) {
        Node node;
        node.optional = optional;
        while (!text.empty()) {
            while (!text.empty() && text.front() == ':') {
                text.remove_prefix(1);
            }
            const std::size_t bar = text.find('|');
            std::string_view name = text.substr(0, bar);
            while (!name.empty() && name.back() == ':') {
                name.remove_suffix(1);
            }
            text = bar == std::string_view::npos ? std::string_view() : text.substr(bar + 1);
            Form form;
            for (const char c : name) {
                if (!IsAlpha(c) && !IsDigit(c)) {
                    throw std::invalid_argument("bad mnemonic in a header pattern");
                }
                if (Upper(c) == c) {
                    if (form.short_form.size() != form.long_form.size()) {
                        throw std::invalid_argument("short form must be a prefix");
                    }
                    form.short_form += c;
                }
                form.long_form += Upper(c);
            }
            if (form.long_form.empty()) {
                throw std::invalid_argument("empty mnemonic in a header pattern");
            }
            node.forms.push_back(form);
        }
        nodes_.push_back(node);
    };
    while (!pattern.empty()) {
        if (pattern.front() == ':') {
            pattern.remove_prefix(1);
        } else if (pattern.front() == '[') {
            const std::size_t close = pattern.find(']');
            if (close == std::string_view::npos) {
                throw std::invalid_argument("unclosed '[' in a header pattern");
            }
            add_node(pattern.substr(1, close - 1), true);
            pattern.remove_prefix(close + 1);
        } else {
            const std::size_t end = pattern.find_first_of(":[");
            add_node(pattern.substr(0, end), false);
            pattern.remove_prefix(end == std::string_view::npos ? pattern.size() : end);
        }
    }
}

bool HeaderPattern::MatchFrom(std::size_t pattern, const std::vector<std::string> &nodes,
                              std::size_t node) const
{
    if (pattern == nodes_.size()) {
        return node == nodes.size();
    }
    const Node &p = nodes_[pattern];
    if (node < nodes.size()) {
        for (const Form &f : p.forms) {
            if (FormMatches(nodes[node], f.short_form, f.long_form) &&
                MatchFrom(pattern + 1, nodes, node + 1)) {
                return true;
            }
        }
    }
    return p.optional && MatchFrom(pattern + 1, nodes, node);
}

bool HeaderPattern::Matches(const std::vector<std::string> &nodes) const
{
    return MatchFrom(0, nodes, 0);
}

namespace {

struct Suffix {
    const char *name;
    int exponent;  // the power of ten from the suffix to the quantity's unit
};

constexpr std::array kFrequencySuffixes = {Suffix{"HZ", -6}, Suffix{"KHZ", -3}, Suffix{"MHZ", 0},
                                           Suffix{"GHZ", 3}};
constexpr std::array kTimeSuffixes = {Suffix{"S", 0}, Suffix{"MS", -3}, Suffix{"US", -6},
                                      Suffix{"NS", -9}};

// The power of ten a suffix scales by; the default unit when there is none.
int SuffixExponent(const Parameter &p, Quantity quantity)
{
    if (quantity == Quantity::kPlain) {
        if (!p.suffix.empty()) {
            throw Error(kSuffixNotAllowed, "this value takes no unit, not " + p.suffix);
        }
        return 0;
    }
    const bool frequency = quantity == Quantity::kFrequency;
    const Suffix *first = frequency ? kFrequencySuffixes.data() : kTimeSuffixes.data();
    const std::size_t count = frequency ? kFrequencySuffixes.size() : kTimeSuffixes.size();
    if (p.suffix.empty()) {
        return first[0].exponent;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (p.suffix == first[i].name) {
            return first[i].exponent;
        }
    }
    throw Error(kInvalidSuffix,
                p.suffix + (frequency ? " is not HZ, KHZ, MHZ or GHZ" : " is not S, MS, US or NS"));
}

// The power of ten of a mantissa's first significant digit: 2 for "123.4",
// -3 for "0.001"; a mantissa of zeros counts as very small.
std::int64_t MagnitudeExponent(std::string_view mantissa)
{
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    if (first == std::string_view::npos) {
        return std::numeric_limits<int>::min();
    }
    return first < point ? static_cast<std::int64_t>(point - first) - 1
                         : -static_cast<std::int64_t>(first - point);
}

}  // namespace

double NumericValue(const Parameter &p, Quantity quantity)
{
    const int shift = SuffixExponent(p, quantity);
    std::string_view text = p.text;
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // The exponent, saturated far beyond any double, plus the suffix's.
    std::int64_t exponent = shift;
    const std::size_t e = text.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::string_view digits = text.substr(e + 1);
        std::int64_t sign = 1;
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
            sign = digits.front() == '-' ? -1 : 1;
            digits.remove_prefix(1);
        }
        std::int64_t written = 0;
        for (const char c : digits) {
            written = std::min<std::int64_t>(written * 10 + (c - '0'), 100000);
        }
        exponent += sign * written;
        text = text.substr(0, e);
    }
    const std::string decimal = std::string(text) + "e" + std::to_string(exponent);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(decimal.data(), decimal.data() + decimal.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: infinite, or zero.
        value =
            MagnitudeExponent(text) + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || end != decimal.data() + decimal.size()) {
        throw Error(kSyntaxError, "'" + p.text + "' is not a number");
    }
    return negative ? -value : value;
}

std::vector<std::string> WithoutSuffixes(const std::vector<std::string> &nodes)
{
    std::vector<std::string> out;
    out.reserve(nodes.size());
    for (const std::string &node : nodes) {
        const std::size_t digits = node.find_last_not_of("0123456789") + 1;
        std::string_view suffix = std::string_view(node).substr(digits);
        suffix.remove_prefix(std::min(suffix.find_first_not_of('0'), suffix.size()));
        if (digits < node.size() && suffix != "1") {
            throw Error(kHeaderSuffixOutOfRange,
                        node + ": this instrument has one of each, suffix 1");
        }
        out.push_back(node.substr(0, digits));
    }
    return out;
}

}  // namespace vontrel::scpi
