// SPDX-License-Identifier: MIT
// The SCPI parser over arbitrary bytes as one line: every input parses to
// whole units and at most one error, every number converts or is refused
// with an SCPI error (a level's DBM suffix among them), and every header
// loses its suffixes, naming the first one other than 1.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/scpi/scpi_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace vontrel::scpi;  // NOLINT(google-build-using-namespace)
    const auto require = [](bool ok) { ok ? void() : std::abort(); };
    static const HeaderPattern kPatterns[] = {
        HeaderPattern("[SOURce:]FREQuency[:CW|:FIXed]"),
        HeaderPattern("[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]"),
        HeaderPattern("SYSTem:ERRor[:NEXT]"),
        HeaderPattern("*IDN"),
        HeaderPattern("UNIT:POWer"),
        HeaderPattern("OUTPut:MODulation[:STATe]"),
        HeaderPattern("[SOURce:]ROSCillator:OUTPut[:STATe]"),
        HeaderPattern("[SOURce:]SWEep:CONTinuous[:STATe]"),
        HeaderPattern("[SOURce:]TSWeep")};
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const ParsedLine parsed = ParseLine(line);
    for (const ProgramUnit &unit : parsed.units) {
        require(!unit.nodes.empty());
        for (const std::string &node : unit.nodes) {
            require(!node.empty() && node.size() <= kMaxMnemonic);
        }
        for (const HeaderPattern &pattern : kPatterns) {
            pattern.Matches(unit.nodes);
        }
        const PlainHeader plain = SplitSuffixes(unit.nodes);
        require(plain.nodes.size() == unit.nodes.size());
        for (const std::string &node : plain.nodes) {
            require(!node.empty() && (node.back() < '0' || node.back() > '9'));
        }
        require(plain.out_of_range.empty() || std::find(unit.nodes.begin(), unit.nodes.end(),
                                                        plain.out_of_range) != unit.nodes.end());
        for (const Parameter &p : unit.parameters) {
            if (p.kind != Parameter::Kind::kNumber) {
                continue;
            }
            for (const Quantity q : {Quantity::kPlain, Quantity::kFrequency, Quantity::kTime}) {
                try {
                    const double v = NumericValue(p, q);
                    require(!std::isnan(v));
                } catch (const Error &e) {
                    require(e.code() == kInvalidSuffix || e.code() == kSuffixNotAllowed);
                }
            }
        }
    }
    if (parsed.error) {
        require(parsed.error->code() < 0);
        // Every error has words, at most a header's worth longer than its
        // own: a long mnemonic is shown cut short.
        require(!parsed.error->detail().empty() && parsed.error->detail().size() <= 200 + size);
    }
    return 0;
}
