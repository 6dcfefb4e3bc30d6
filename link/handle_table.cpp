#include "link/handle_table.h"

#include <climits>
#include <new>

namespace vontrel {
namespace {

constexpr std::uint64_t kClosing = std::uint64_t{1} << 31;
constexpr std::uint64_t kCallsMask = kClosing - 1;

constexpr std::uint64_t Word(int token)
{
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(token)) << 32;
}

constexpr int TokenOf(std::uint64_t word)
{
    return static_cast<int>(word >> 32);
}

static_assert((HandleTable::kSlots & (HandleTable::kSlots - 1)) == 0,
              "tokens wrap at INT_MAX + 1, which must be a multiple of the slot count");

}  // namespace

HandleTable &HandleTable::Instance()
{
    // Never destroyed: unloading the library does no work of its own, and a
    // late call from another thread during exit still finds a valid table.
    static HandleTable *const table = new HandleTable;
    return *table;
}

int HandleTable::Add(FT_HANDLE handle)
{
    if (fail_adds_) {
        throw std::bad_alloc();
    }
    const std::lock_guard<std::mutex> lock(add_mutex_);
    // Tokens are tried in order; one whose slot is taken is skipped, so a
    // unit that stays open keeps its slot. At most kSlots candidates.
    for (int tries = 0; tries < kSlots; ++tries) {
        const int token = next_token_;
        next_token_ = next_token_ == INT_MAX ? 1 : next_token_ + 1;
        Slot &slot = SlotOf(token);
        if (slot.state.load(std::memory_order_acquire) == 0) {
            slot.handle = handle;
            slot.state.store(Word(token), std::memory_order_release);
            return token;
        }
    }
    throw std::bad_alloc();
}

std::optional<FT_HANDLE> HandleTable::Acquire(int token) noexcept
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

void HandleTable::Release(int token) noexcept
{
    Slot &slot = SlotOf(token);
    const std::uint64_t before = slot.state.fetch_sub(1, std::memory_order_release);
    if ((before & kClosing) != 0 && (before & kCallsMask) == 1) {
        slot.state.notify_all();  // the last call out lets a waiting close go on
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
    word |= kClosing;
    while ((word & kCallsMask) != 0) {
        slot.state.wait(word, std::memory_order_acquire);
        word = slot.state.load(std::memory_order_acquire);
    }
    FT_HANDLE handle = slot.handle;
    slot.state.store(0, std::memory_order_release);
    return handle;
}

bool HandleTable::IsClosing(int token) const noexcept
{
    const std::uint64_t word = SlotOf(token).state.load(std::memory_order_acquire);
    return TokenOf(word) == token && (word & kClosing) != 0;
}

std::size_t HandleTable::Size() const noexcept
{
    std::size_t open = 0;
    for (const Slot &slot : slots_) {
        open += slot.state.load(std::memory_order_relaxed) != 0 ? 1 : 0;
    }
    return open;
}

std::optional<int> TokenFromArgument(void *handle) noexcept
{
    const auto value = reinterpret_cast<std::intptr_t>(handle);
    if (value < 1 || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

UnitLease::UnitLease(void *handle_argument) noexcept
{
    if (const auto token = TokenFromArgument(handle_argument)) {
        handle_ = HandleTable::Instance().Acquire(*token);
        token_ = handle_ ? *token : 0;
    }
}

UnitLease::~UnitLease()
{
    if (handle_) {
        HandleTable::Instance().Release(token_);
    }
}

}  // namespace vontrel
