// A minimal D2XX library of the tests' own, loaded ahead of libvontrel.so's
// D2XX library. It records every call, answers memory reads from a small
// memory per converter and register read-backs from the last word written,
// and hands out handles that are heap pointers.
#ifndef VONTREL_TESTS_DOUBLE_D2XX_DOUBLE_H
#define VONTREL_TESTS_DOUBLE_D2XX_DOUBLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "d2xx/ftd2xx.h"

struct DoubleCall {
    std::string function;
    std::uintptr_t handle = 0;        // the FT_HANDLE the call was given or returned
    std::vector<std::uint64_t> args;  // numeric arguments in order
    std::vector<std::uint8_t> bytes;  // frame written or bytes delivered
};

extern "C" {
__attribute__((visibility("default"))) void double_reset(
    const std::vector<std::string> &descriptions);
__attribute__((visibility("default"))) void double_set_memory(int converter, int address,
                                                              std::uint8_t value);
__attribute__((visibility("default"))) std::vector<DoubleCall> double_calls();
__attribute__((visibility("default"))) int double_open_handles();
}

#endif
