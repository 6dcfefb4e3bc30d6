// SPDX-License-Identifier: MIT
#include "link/handle_table.h"

#include <climits>
#include <new>
#include <type_traits>

namespace vontrel {
constinit HandleTable HandleTable::instance_;

// Nothing to run at exit: calls from other threads may still come.
static_assert(std::is_trivially_destructible_v<HandleTable>);
static_assert((HandleTable::kSlots & (HandleTable::kSlots - 1)) == 0,
              "tokens wrap at INT_MAX + 1, which must be a multiple of the slot count");

int HandleTable::Add(FT_HANDLE handle, bool echoes)
{
    const std::lock_guard<std::mutex> lock(add_mutex_);
    // Tokens are tried in order; one whose slot is taken is skipped, so a
    // unit that stays open keeps its slot. At most kSlots candidates.
    for (int tries = 0; tries < kSlots; ++tries) {
        const int token = next_token_;
        next_token_ = next_token_ == INT_MAX ? 1 : next_token_ + 1;
        Slot &slot = SlotOf(token);
        if (slot.state.load(std::memory_order_acquire) == 0) {
            slot.handle = handle;
            slot.books.Reset(echoes);
            slot.state.store(Word(token), std::memory_order_release);
            return token;
        }
    }
    throw std::bad_alloc();
}

void HandleTable::WaitForCalls(Slot &slot, std::uint64_t word) noexcept
{
    while ((word & kCallsMask) != 0) {
        slot.state.wait(word, std::memory_order_acquire);
        word = slot.state.load(std::memory_order_acquire);
    }
}

std::optional<FT_HANDLE> HandleTable::Remove(int token) noexcept
{
    Slot &slot = SlotOf(token);
    std::uint64_t word = slot.state.load(std::memory_order_acquire);
    do {
        if (TokenOf(word) != token || (word & kClosing) != 0) {
            return std::nullopt;
        }
    } while (!slot.state.compare_exchange_weak(word, word | kClosing, std::memory_order_acquire,
                                               std::memory_order_acquire));
    if ((word & kCallsMask) != 0) {
        WaitForCalls(slot, word | kClosing);
    }
    FT_HANDLE handle = slot.handle;
    slot.state.store(0, std::memory_order_release);
    return handle;
}

std::size_t HandleTable::Size() const noexcept
{
    std::size_t open = 0;
    for (const Slot &slot : slots_) {
        open += slot.state.load(std::memory_order_relaxed) != 0 ? 1 : 0;
    }
    return open;
}

}  // namespace vontrel
