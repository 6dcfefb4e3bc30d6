// SPDX-License-Identifier: MIT
// A minimal D2XX library of the tests' own, loaded ahead of libvontrel.so's
// D2XX library. It records every call, answers memory reads from a small
// memory per converter and register read-backs from the last word written,
// and hands out handles that are heap pointers, never reused while the
// double lives, so a call on a closed handle is seen and counted. Reads can
// be held, to stop a call in the middle of an exchange.
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

// The double's controls, for the tests (C++ linkage).
__attribute__((visibility("default"))) void double_reset(
    const std::vector<std::string> &descriptions);
__attribute__((visibility("default"))) void double_set_memory(int converter, int address,
                                                              std::uint8_t value);
__attribute__((visibility("default"))) std::vector<DoubleCall> double_calls();
__attribute__((visibility("default"))) int double_open_handles();
// Calls that named a handle already closed.
__attribute__((visibility("default"))) int double_closed_handle_calls();
// Holds every FT_Read on `converter` (outside the double's lock) until
// called again with -1.
__attribute__((visibility("default"))) void double_hold_reads(int converter);
// FT_Read calls waiting now.
__attribute__((visibility("default"))) int double_held_reads();

#endif
