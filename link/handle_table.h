// SPDX-License-Identifier: MIT
// The library's table of open units: the small int tokens handed to callers
// in Vontrel_Open's `handles`, and the D2XX handle behind each. A D2XX handle
// is a pointer and does not fit an int on 64-bit platforms, so callers only
// ever see tokens.
//
// The table is a fixed array of slots; token t lives in slot t % kSlots.
// Each slot holds one atomic word: the token it holds (0 when free), a
// closing flag and the number of calls in flight on it. Looking a token up
// for a call is one compare-and-swap on that word: no lock, no allocation,
// and no wait on any other unit. Closing sets the flag, so no new call
// starts, and waits until the calls in flight have left before the handle
// is given back to be closed. Only adding units (from Vontrel_Open) takes a
// lock, to pick a slot.
#ifndef VONTREL_LINK_HANDLE_TABLE_H
#define VONTREL_LINK_HANDLE_TABLE_H

#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "d2xx/ftd2xx.h"
#include "link/link.h"

namespace vontrel {

class HandleTable {
public:
    // Units open at once in one process. A power of two, so that tokens
    // wrapping at INT_MAX keep their slot.
    static constexpr int kSlots = 4096;

    // The one table of the process: constant-initialised, so it exists
    // before any call and is never destroyed (a late call from another
    // thread during exit still finds it).
    static HandleTable &Instance() noexcept { return instance_; }

    // Registers an opened unit, in step, and returns its token,
    // 1..INT_MAX; `echoes` says whether its replies were seen to carry their
    // commands back. Tokens are handed out in increasing order and wrap only
    // after INT_MAX of them, so a closed token is not handed out again soon.
    // Throws std::bad_alloc when every slot is taken.
    int Add(FT_HANDLE handle, bool echoes);

    // Counts a call in flight on the token's unit and returns its handle, or
    // nullopt (nothing counted) when the token is not an open unit or its
    // close has begun. Every successful Acquire is paired with a Release.
    std::optional<FT_HANDLE> Acquire(int token) noexcept
    {
        Slot &slot = SlotOf(token);
        std::uint64_t word = slot.state.load(std::memory_order_acquire);
        do {
            if (TokenOf(word) != token || (word & kClosing) != 0) {
                return std::nullopt;
            }
        } while (!slot.state.compare_exchange_weak(word, word + 1, std::memory_order_acquire,
                                                   std::memory_order_acquire));
        return slot.handle;
    }

    // The books of the link to the token's unit (see link/link.h): kept
    // here, with the unit, from one call to the next. Valid while a call on
    // the token is in flight.
    LinkBooks &BooksOf(int token) noexcept { return SlotOf(token).books; }

    void Release(int token) noexcept
    {
        Slot &slot = SlotOf(token);
        const std::uint64_t before = slot.state.fetch_sub(1, std::memory_order_release);
        if ((before & kClosing) != 0 && (before & kCallsMask) == 1) {
            slot.state.notify_all();  // the last call out lets a waiting close go on
        }
    }

    // Closes the token: from now on Acquire refuses it; once the calls in
    // flight on it have been released, the token is forgotten and its
    // handle returned for the caller to close. nullopt when the token is not
    // open or another close of it has begun.
    std::optional<FT_HANDLE> Remove(int token) noexcept;

    // Units open now.
    std::size_t Size() const noexcept;

private:
    friend struct HandleTableSeam;  // the tests' view of the slots
    constexpr HandleTable() = default;

    static HandleTable instance_;

    // The slot word: token in bits 63..32, closing in bit 31, calls in
    // flight in bits 30..0. A free slot is 0.
    static constexpr std::uint64_t kClosing = std::uint64_t{1} << 31;
    static constexpr std::uint64_t kCallsMask = kClosing - 1;

    static constexpr std::uint64_t Word(int token)
    {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(token)) << 32;
    }
    static constexpr int TokenOf(std::uint64_t word) { return static_cast<int>(word >> 32); }

    struct Slot {
        std::atomic<std::uint64_t> state{0};
        FT_HANDLE handle = nullptr;  // written only while the slot is free
        LinkBooks books;
    };

    // Waits until no call is in flight on a slot being closed.
    [[gnu::noinline]] static void WaitForCalls(Slot &slot, std::uint64_t word) noexcept;

    Slot &SlotOf(int token) noexcept { return slots_[static_cast<std::size_t>(token) % kSlots]; }
    const Slot &SlotOf(int token) const noexcept
    {
        return slots_[static_cast<std::size_t>(token) % kSlots];
    }

    std::array<Slot, kSlots> slots_{};
    std::mutex add_mutex_;
    int next_token_ = 1;
};

// The token an export's `void *handle` argument carries, or nullopt when the
// pointer cannot be a token (null, negative, above INT_MAX).
inline std::optional<int> TokenFromArgument(void *handle) noexcept
{
    const auto value = reinterpret_cast<std::intptr_t>(handle);
    if (value < 1 || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// A call in flight on a unit: holds the unit open (a close waits for it)
// from construction to destruction. Empty when the argument is not an open
// unit.
class UnitLease {
public:
    explicit UnitLease(void *handle_argument) noexcept
    {
        if (const auto token = TokenFromArgument(handle_argument)) {
            if (const auto handle = HandleTable::Instance().Acquire(*token)) {
                handle_ = *handle;
                token_ = *token;
            }
        }
    }
    ~UnitLease()
    {
        if (token_ != 0) {
            HandleTable::Instance().Release(token_);
        }
    }
    UnitLease(const UnitLease &) = delete;
    UnitLease &operator=(const UnitLease &) = delete;

    explicit operator bool() const noexcept { return token_ != 0; }
    FT_HANDLE handle() const noexcept { return handle_; }
    LinkBooks &books() const noexcept { return HandleTable::Instance().BooksOf(token_); }

private:
    int token_ = 0;  // 0: no unit held
    FT_HANDLE handle_ = nullptr;
};

}  // namespace vontrel

#endif
