// SPDX-License-Identifier: MIT
// How long the library calls of one command took, and how many exchanges
// with the unit each made: what `vontrel status --timing` shows.
#ifndef VONTREL_TOOLS_VONTREL_TIMING_H
#define VONTREL_TOOLS_VONTREL_TIMING_H

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace vontrel::tool {

class CallTimes {
public:
    // Runs `call` and records its wall-clock time under `name`, with the
    // exchanges it makes (-1 when that depends on the bench, as opening
    // does). Returns what `call` returns.
    template <typename Call>
    auto Time(const char *name, int exchanges, Call &&call)
    {
        const auto start = std::chrono::steady_clock::now();
        auto result = std::forward<Call>(call)();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        entries_.push_back({name, exchanges, took.count()});
        return result;
    }

    // One line a call, with the time an exchange took where the count is
    // known, and the total.
    void Print() const;
    nlohmann::json Json() const;

private:
    struct Entry {
        std::string name;
        int exchanges;
        double ms;
    };
    std::vector<Entry> entries_;
};

}  // namespace vontrel::tool

#endif
