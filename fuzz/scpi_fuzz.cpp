// The SCPI parser over arbitrary bytes as one line: every input parses to
// whole units and at most one error, and every number converts or is
// refused with an SCPI error, never anything else.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/serve/scpi_parser.h"

namespace {

void Require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace vontrel::scpi;  // NOLINT(google-build-using-namespace)
    static const HeaderPattern kPatterns[] = {
        HeaderPattern("[SOURce:]FREQuency[:CW|:FIXed]"),
        HeaderPattern("[SOURce:]POWer[:LEVel][:IMMediate][:AMPLitude]"),
        HeaderPattern("SYSTem:ERRor[:NEXT]"), HeaderPattern("*IDN")};
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const ParsedLine parsed = ParseLine(line);
    for (const ProgramUnit &unit : parsed.units) {
        Require(!unit.nodes.empty());
        for (const std::string &node : unit.nodes) {
            Require(!node.empty() && node.size() <= kMaxMnemonic);
        }
        for (const HeaderPattern &pattern : kPatterns) {
            pattern.Matches(unit.nodes);
        }
        for (const Parameter &p : unit.parameters) {
            if (p.kind != Parameter::Kind::kNumber) {
                continue;
            }
            for (const Quantity q : {Quantity::kPlain, Quantity::kFrequency, Quantity::kTime}) {
                try {
                    const double v = NumericValue(p, q);
                    Require(!std::isnan(v));
                } catch (const Error &e) {
                    Require(e.code() == kInvalidSuffix || e.code() == kSuffixNotAllowed);
                }
            }
        }
    }
    if (parsed.error) {
        Require(parsed.error->code() < 0);
    }
    return 0;
}
