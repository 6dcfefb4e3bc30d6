// SPDX-License-Identifier: MIT
// What the tests may see of the table of open units beyond its interface.
#ifndef VONTREL_TESTS_SEAMS_HANDLE_TABLE_SEAM_H
#define VONTREL_TESTS_SEAMS_HANDLE_TABLE_SEAM_H

#include "link/handle_table.h"

namespace vontrel {

struct HandleTableSeam {
    // Whether a close of the token has begun and waits for calls in flight.
    static bool IsClosing(int token) noexcept
    {
        const auto &slot = HandleTable::Instance().SlotOf(token);
        const std::uint64_t word = slot.state.load(std::memory_order_acquire);
        return HandleTable::TokenOf(word) == token && (word & HandleTable::kClosing) != 0;
    }
};

}  // namespace vontrel

#endif
