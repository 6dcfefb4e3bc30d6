// SPDX-License-Identifier: MIT
// Faults armed from the environment: VONTREL_SIM_FAIL holds rules
// FUNCTION:NTH:STATUS[,...], FUNCTION one of the D2XX calls or "*" for
// any call, NTH a decimal count from 1, STATUS a name (FT_IO_ERROR) or a
// decimal code; and late:NTH:MS, the unit's NTH reply from now comes MS
// milliseconds late (a unit that stalls), with every reply after it behind
// it. A rule that is none of these puts the bench out of order, so that a
// typing mistake never runs a test without its fault.
#include <sstream>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"
#include "include/vontrel_status.h"

namespace vsim {
namespace {

constexpr const char *kFunctions[] = {
    "FT_ListDevices", "FT_Open",        "FT_Close",
    "FT_ResetDevice", "FT_SetTimeouts", "FT_SetBaudRate",
    "FT_Write",       "FT_Read",        "FT_SetDataCharacteristics",
    "FT_SetBitMode",  "FT_GetBitMode"};
constexpr long kMaxNth = 1'000'000'000;
constexpr FT_STATUS kMaxStatus = 255;

// A decimal number from `min` to `max`, or -1.
long Decimal(const std::string &text, long min, long max)
{
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const long v = std::stol(text);
    return v >= min && v <= max ? v : -1;
}

bool KnownFunction(const std::string &name)
{
    for (const char *f : kFunctions) {
        if (name == f) {
            return true;
        }
    }
    return name == "*";
}

long StatusByName(const std::string &text)
{
    for (FT_STATUS s = 0; s <= kMaxStatus; ++s) {
        if (text == vontrel_status_name(s) && text != "FT_UNKNOWN_STATUS") {
            return static_cast<long>(s);
        }
    }
    return Decimal(text, 0, kMaxStatus);
}

}  // namespace

void ArmFaultsFromEnvironment(Bench &bench)
{
    const std::string rules_text = Env("VONTREL_SIM_FAIL");
    if (rules_text.empty()) {
        return;
    }
    std::istringstream rules(rules_text + ",");
    std::string rule;
    while (std::getline(rules, rule, ',')) {
        const auto a = rule.find(':');
        const auto b = a == std::string::npos ? a : rule.find(':', a + 1);
        const auto fail = [&](const std::string &what) {
            std::string message = "VONTREL_SIM_FAIL: rule '" + rule + "': ";
            message += what;
            message +=
                "; rules are FUNCTION:NTH:STATUS, e.g. FT_Read:3:FT_IO_ERROR, or late:NTH:MS, "
                "separated by commas";
            throw BenchError(VSIM_BENCH_CONFIG, message);
        };
        if (a == std::string::npos || b == std::string::npos) {
            fail("expected three fields");
        }
        Fault fault;
        const std::string function = rule.substr(0, a);
        if (function == "late") {
            fault.kind = FaultKind::kLateReply;
            fault.remaining = Decimal(rule.substr(a + 1, b - a - 1), 1, kMaxNth);
            const long ms = Decimal(rule.substr(b + 1), 0, kMaxLateMs);
            if (fault.remaining < 0 || ms < 0) {
                fail("a late reply is late:NTH:MS, NTH a count from 1 and MS from 0 to " +
                     std::to_string(kMaxLateMs));
            }
            fault.delay = std::chrono::milliseconds(ms);
            bench.faults.push_back(fault);
            continue;
        }
        if (!KnownFunction(function)) {
            fail("'" + function + "' is not a D2XX call nor *");
        }
        fault.function = function == "*" ? "" : function;
        fault.remaining = Decimal(rule.substr(a + 1, b - a - 1), 1, kMaxNth);
        if (fault.remaining < 0) {
            fail("NTH must be a decimal count from 1 to " + std::to_string(kMaxNth));
        }
        const long status = StatusByName(rule.substr(b + 1));
        if (status < 0) {
            fail("STATUS must be a status name such as FT_IO_ERROR, or a code from 0 to " +
                 std::to_string(kMaxStatus));
        }
        fault.status = static_cast<FT_STATUS>(status);
        bench.faults.push_back(fault);
    }
}

std::chrono::milliseconds TakeLateReply(Bench &bench)
{
    std::chrono::milliseconds delay{0};
    bool fired = false;
    for (auto it = bench.faults.begin(); it != bench.faults.end();) {
        if (it->kind == FaultKind::kLateReply && --it->remaining <= 0) {
            if (!fired) {
                delay = it->delay;
                fired = true;
            }
            it = bench.faults.erase(it);
        } else {
            ++it;
        }
    }
    return delay;
}

}  // namespace vsim
