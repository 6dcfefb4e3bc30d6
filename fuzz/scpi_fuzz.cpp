// SPDX-License-Identifier: MIT
// The SCPI parser over arbitrary bytes as one line: every input parses to
// whole units and at most one error, every number converts or is refused
// with an SCPI error, and every header loses its suffixes or is refused
// with -114, never anything else.
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
        HeaderPattern("SYSTem:ERRor[:NEXT]"), HeaderPattern("*IDN")};
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
        try {
            const std::vector<std::string> plain = WithoutSuffixes(unit.nodes);
            require(plain.size() == unit.nodes.size());
            for (const std::string &node : plain) {
                require(!node.empty() && (node.back() < '0' || node.back() > '9'));
            }
        } catch (const Error &e) {
            require(e.code() == kHeaderSuffixOutOfRange);
        }
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
    }
    return 0;
}
