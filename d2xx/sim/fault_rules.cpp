// SPDX-License-Identifier: MIT
// Faults armed from the environment: VONTREL_SIM_FAIL holds rules
// FUNCTION:NTH:STATUS[,...], FUNCTION one of the D2XX calls or "*" for
// any call, NTH a decimal count from 1, STATUS a name (FT_IO_ERROR) or a
// decimal code; and late:NTH:MS[+GAP/MS...], the unit's NTH reply from now
// comes MS milliseconds late (a unit that stalls), with every reply after
// it behind it, and each +GAP/MS a further stall of the train: GAP ms after
// the unit resumed it stands still again for MS ms. A rule that is none of
// these puts the bench out of order, so that a typing mistake never runs a
// test without its fault.
#include <algorithm>
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
                "; rules are FUNCTION:NTH:STATUS, e.g. FT_Read:3:FT_IO_ERROR, or "
                "late:NTH:MS[+GAP/MS...], "
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
            std::string rest = rule.substr(b + 1);
            const auto plus = rest.find('+');
            const long ms = Decimal(rest.substr(0, plus), 0, kMaxLateMs);
            const char *form =
                "a late reply is late:NTH:MS[+GAP/MS...], NTH a count from 1, MS and "
                "GAP from 0 to ";
            if (fault.remaining < 0 || ms < 0) {
                fail(form + std::to_string(kMaxLateMs));
            }
            fault.delay = std::chrono::milliseconds(ms);
            rest = plus == std::string::npos ? "" : rest.substr(plus + 1);
            while (!rest.empty()) {
                const auto next = rest.find('+');
                const std::string stall = rest.substr(0, next);
                const auto slash = stall.find('/');
                const long gap = slash == std::string::npos
                                     ? -1
                                     : Decimal(stall.substr(0, slash), 0, kMaxLateMs);
                const long length = slash == std::string::npos
                                        ? -1
                                        : Decimal(stall.substr(slash + 1), 0, kMaxLateMs);
                if (gap < 0 || length < 0 || fault.train.size() >= kMaxTrainStalls) {
                    fail(form + std::to_string(kMaxLateMs) + ", at most " +
                         std::to_string(kMaxTrainStalls) + " stalls after the late reply");
                }
                fault.train.push_back(
                    TrainStall{std::chrono::milliseconds(gap), std::chrono::milliseconds(length)});
                rest = next == std::string::npos ? "" : rest.substr(next + 1);
                if (next != std::string::npos && rest.empty()) {
                    fail("a '+' with no stall after it");
                }
            }
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

std::chrono::steady_clock::duration TakeLateReply(Bench &bench, int converter,
                                                  std::chrono::steady_clock::time_point arrival,
                                                  std::chrono::steady_clock::duration exchange)
{
    using Duration = std::chrono::steady_clock::duration;
    const Fault *fired = nullptr;
    Fault taken;
    for (auto it = bench.faults.begin(); it != bench.faults.end();) {
        const bool counts =
            it->kind == FaultKind::kLateReply && (it->converter < 0 || it->converter == converter);
        if (counts && --it->remaining <= 0) {
            if (fired == nullptr) {
                taken = *it;
                fired = &taken;
            }
            it = bench.faults.erase(it);
        } else {
            ++it;
        }
    }
    // Stalls that are over by now hold nothing any more.
    std::erase_if(bench.stalls, [&](const StallWindow &w) { return w.end <= arrival; });
    if (fired != nullptr) {
        auto resumed = arrival + fired->delay;
        for (const TrainStall &stall : fired->train) {
            const auto start = resumed + stall.gap;
            resumed = start + stall.length;
            bench.stalls.push_back(StallWindow{converter, start, resumed});
        }
        return fired->delay;
    }
    // The reply's work runs from `arrival` to `ready`; time the unit stands
    // still within it puts the reply back by as much.
    auto ready = arrival + exchange;
    for (const StallWindow &w : bench.stalls) {
        if (w.converter == converter && arrival < w.end && ready > w.start) {
            ready += w.end - std::max(w.start, arrival);
        }
    }
    return Duration(ready - arrival - exchange);
}

}  // namespace vsim
