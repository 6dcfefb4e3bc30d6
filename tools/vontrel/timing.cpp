// SPDX-License-Identifier: MIT
#include "tools/vontrel/timing.h"

#include <fmt/format.h>

namespace vontrel::tool {

void CallTimes::Print() const
{
    fmt::print("timing (wall clock, the link included)\n");
    double total = 0.0;
    for (const Entry &e : entries_) {
        total += e.ms;
        if (e.exchanges > 0) {
            fmt::print("  {:<20} {:>3} exchange{} {:>9.1f} ms  ({:.2f} ms an exchange)\n", e.name,
                       e.exchanges, e.exchanges == 1 ? " " : "s", e.ms, e.ms / e.exchanges);
        } else {
            fmt::print("  {:<20} {:>13} {:>9.1f} ms\n", e.name, "", e.ms);
        }
    }
    fmt::print("  {:<20} {:>13} {:>9.1f} ms\n", "total", "", total);
}

nlohmann::json CallTimes::Json() const
{
    nlohmann::json calls = nlohmann::json::array();
    for (const Entry &e : entries_) {
        calls.push_back({{"call", e.name},
                         {"exchanges", e.exchanges > 0 ? nlohmann::json(e.exchanges) : nullptr},
                         {"ms", e.ms}});
    }
    return calls;
}

}  // namespace vontrel::tool
