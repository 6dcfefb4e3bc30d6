// SPDX-License-Identifier: MIT
// The SCPI parser on a table of lines: forms, suffixes, compound lines and
// the errors each kind of mistake gives.
#include <gtest/gtest.h>

#include <cmath>

#include "frontends/scpi/scpi_parser.h"

namespace vontrel::scpi {
namespace {

// A parse shown as text: units as HEADER[?] followed by |param for each
// parameter (n: number[suffix], c: character, s: string), then !code for
// the error, if any.
std::string Show(const ParsedLine &parsed)
{
    std::string out;
    for (const ProgramUnit &u : parsed.units) {
        out += out.empty() ? "" : " ; ";
        out += u.common ? "*" : u.absolute ? ":" : "";
        for (std::size_t i = 0; i < u.nodes.size(); ++i) {
            out += (i > 0 ? ":" : "") + u.nodes[i];
        }
        out += u.query ? "?" : "";
        for (const Parameter &p : u.parameters) {
            const char kind = p.kind == Parameter::Kind::kNumber      ? 'n'
                              : p.kind == Parameter::Kind::kCharacter ? 'c'
                                                                      : 's';
            out +=
                std::string("|") + kind + ":" + p.text + (p.suffix.empty() ? "" : " " + p.suffix);
        }
    }
    if (parsed.error) {
        out += (out.empty() ? "!" : " !") + std::to_string(parsed.error->code());
    }
    return out;
}

TEST(ScpiParser, Lines)
{
    const struct {
        std::string line, parsed;
    } cases[] = {
        {"", ""},
        {"  ;; ;", ""},
        {"*IDN?", "*IDN?"},
        {"*ese 32", "*ESE|n:32"},
        {"freq 2.455 GHz", "FREQ|n:2.455 GHZ"},
        {":SOUR:FREQ:CW 2455MHZ", ":SOUR:FREQ:CW|n:2455 MHZ"},
        {"FREQ? MIN", "FREQ?|c:MIN"},
        {"FREQ -1.5e+3;POW .25;POW:ATT 5.", "FREQ|n:-1.5e+3 ; POW|n:.25 ; POW:ATT|n:5."},
        {"LIST:FREQ 1e9, 2E9 ,3 GHZ", "LIST:FREQ|n:1e9|n:2E9|n:3 GHZ"},
        {"LIST:DWEL 10ms\r", "LIST:DWEL|n:10 MS"},
        {"X 2E", "X|n:2 E"},  // E without digits starts a suffix
        {"X 'it''s',\"a \"\"b\"\"\"", "X|s:it's|s:a \"b\""},
        {"SYST:ERR?;*OPC?;:FREQ?", "SYST:ERR? ; *OPC? ; :FREQ?"},
        {"VONT:FLAG:A ON\t;\tVONT:TRIM:AUTO 0", "VONT:FLAG:A|c:ON ; VONT:TRIM:AUTO|n:0"},
        // Mistakes: what comes before the first one is kept.
        {"FREQ 1;FREQ 1 2", "FREQ|n:1 !-103"},
        {"FREQ 1 2", "!-103"},
        {"FREQ,1", "!-102"},
        {"FREQ 1,", "!-102"},
        {"FREQ: 1", "!-102"},
        {":", "!-102"},
        {"*", "!-102"},
        {"1FREQ", "!-102"},
        {"FREQ 'open", "!-151"},
        {"FREQ #H1F", "!-104"},
        {"FREQ (1+2)", "!-104"},
        {"FREQ -", "!-102"},
        {"FREQUENCYFREQUENCY 1", "!-112"},
        {"FREQ ABCDEFGHIJKLM", "!-144"},
        {"FREQ 1 ABCDEFGHIJKLM", "!-131"},
        {std::string("FREQ\0 1", 7), "!-101"},
        {"FREQ 1\x80", "!-101"},
        {"FREQ 'a\x01'", "!-101"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Show(ParseLine(c.line)), c.parsed) << c.line;
    }
}

TEST(ScpiParser, HeaderPatterns)
{
    const struct {
        const char *pattern;
        std::vector<std::string> nodes;
        bool matches;
    } cases[] = {
        {"[SOURce:]FREQuency[:CW|:FIXed]", {"FREQ"}, true},
        {"[SOURce:]FREQuency[:CW|:FIXed]", {"SOURCE", "FREQUENCY", "FIXED"}, true},
        {"[SOURce:]FREQuency[:CW|:FIXed]", {"SOUR", "FREQ", "CW"}, true},
        {"[SOURce:]FREQuency[:CW|:FIXed]", {"FREQU"}, false},  // neither short nor long
        {"[SOURce:]FREQuency[:CW|:FIXed]", {"FREQ", "CW", "CW"}, false},
        {"[SOURce:]FREQuency[:CW|:FIXed]", {"SOUR"}, false},
        {"[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]", {"POW", "AMPL"}, true},
        {"[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]", {"POW", "AMPL", "LEV"}, false},
        {"SYSTem:ERRor[:NEXT]", {"SYST", "ERR", "COUN"}, false},
        {"VONTrel:FLAG:A", {"VONTREL", "FLAG", "A"}, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(HeaderPattern(c.pattern).Matches(c.nodes), c.matches) << c.pattern;
    }
    EXPECT_TRUE(HeaderPattern("*IDN").common());
    EXPECT_THROW(HeaderPattern("[SOURce:FREQ"), std::invalid_argument);
    EXPECT_THROW(HeaderPattern("FREQuEncy"), std::invalid_argument);
}

TEST(ScpiParser, NumericValues)
{
    const auto value = [](const std::string &text, const std::string &suffix, Quantity q) {
        return NumericValue(Parameter{Parameter::Kind::kNumber, text, suffix}, q);
    };
    EXPECT_EQ(value("2.455", "GHZ", Quantity::kFrequency), 2455.0);  // exact, not 2454.9999..
    EXPECT_EQ(value("2455000000", "", Quantity::kFrequency), 2455.0);
    EXPECT_EQ(value("0.1", "KHZ", Quantity::kFrequency), 1e-4);
    EXPECT_EQ(value("+1.5e3", "MHZ", Quantity::kFrequency), 1500.0);
    EXPECT_EQ(value("250", "MS", Quantity::kTime), 0.25);
    EXPECT_EQ(value("-6.25", "", Quantity::kPlain), -6.25);
    EXPECT_EQ(value("1e999", "", Quantity::kPlain), INFINITY);
    EXPECT_EQ(value("-1e999", "", Quantity::kPlain), -INFINITY);
    EXPECT_EQ(value("1e-999", "", Quantity::kPlain), 0.0);
    EXPECT_EQ(value("0.000001e999999999999", "", Quantity::kPlain), INFINITY);
    EXPECT_EQ(value(std::string(400, '0') + "1e-100", "", Quantity::kPlain), 1e-100);
    EXPECT_EQ(value("0e999999", "", Quantity::kPlain), 0.0);
    const auto code = [&](const std::string &suffix, Quantity q) {
        try {
            value("1", suffix, q);
        } catch (const Error &e) {
            return e.code();
        }
        return 0;
    };
    EXPECT_EQ(code("DB", Quantity::kPlain), kSuffixNotAllowed);
    EXPECT_EQ(code("S", Quantity::kFrequency), kInvalidSuffix);
    EXPECT_EQ(code("HZ", Quantity::kTime), kInvalidSuffix);
}

// Numeric suffixes on header nodes: 1 (the default) is taken, with or
// without leading zeros; any other is -114.
TEST(ScpiParser, HeaderSuffixes)
{
    const struct {
        std::vector<std::string> nodes;
        std::string plain;  // the nodes joined with ':', or the error code
    } cases[] = {
        {{"SOUR1", "FREQ"}, "SOUR:FREQ"}, {{"OUTP01"}, "OUTP"},
        {{"OUTP", "STAT1"}, "OUTP:STAT"}, {{"OUTP2"}, "-114"},
        {{"SOUR0", "FREQ"}, "-114"},      {{"SOUR", "FREQ10"}, "-114"},
        {{"SOUR", "FREQ11"}, "-114"},     {{"A1B"}, "A1B"},
    };
    for (const auto &c : cases) {
        std::string plain;
        try {
            for (const std::string &node : WithoutSuffixes(c.nodes)) {
                plain += (plain.empty() ? "" : ":") + node;
            }
        } catch (const Error &e) {
            plain = std::to_string(e.code());
        }
        EXPECT_EQ(plain, c.plain) << c.nodes[0];
    }
}

}  // namespace
}  // namespace vontrel::scpi
