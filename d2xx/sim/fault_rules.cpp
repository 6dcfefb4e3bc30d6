// Faults armed from the environment: VONTREL_SIM_FAIL holds rules
// FUNCTION:NTH:STATUS[,...], FUNCTION "*" for any call, STATUS a number or
// a name.
#include <cstdlib>
#include <sstream>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"
#include "include/vontrel_status.h"

namespace vsim {
namespace {

FT_STATUS StatusByName(const std::string &text)
{
    for (FT_STATUS s = 0; s < 32; ++s) {
        if (text == vontrel_status_name(s)) {
            return s;
        }
    }
    return static_cast<FT_STATUS>(std::strtoul(text.c_str(), nullptr, 0));
}

}  // namespace

void ArmFaultsFromEnvironment(Bench &bench)
{
    std::istringstream rules(Env("VONTREL_SIM_FAIL"));
    std::string rule;
    while (std::getline(rules, rule, ',')) {
        const auto a = rule.find(':');
        const auto b = rule.find(':', a == std::string::npos ? a : a + 1);
        if (a == std::string::npos || b == std::string::npos) {
            ConfigError("VONTREL_SIM_FAIL: expected FUNCTION:NTH:STATUS, not '" + rule + "'");
        }
        Fault fault;
        fault.function = rule.substr(0, a) == "*" ? "" : rule.substr(0, a);
        fault.remaining = std::strtol(rule.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
        fault.status = StatusByName(rule.substr(b + 1));
        bench.faults.push_back(fault);
    }
}

}  // namespace vsim
