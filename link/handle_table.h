// The library's table of open units: the small int tokens handed to callers
// in Vontrel_Open's `handles`, and the D2XX handle behind each. A D2XX handle
// is a pointer and does not fit an int on 64-bit platforms, so callers only
// ever see tokens.
//
// The table's lock is held only while the table itself is read or changed,
// never while a unit is being talked to.
#ifndef VONTREL_LINK_HANDLE_TABLE_H
#define VONTREL_LINK_HANDLE_TABLE_H

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "d2xx/ftd2xx.h"

namespace vontrel {

class HandleTable {
public:
    static HandleTable &Instance();

    // Registers an opened unit and returns its token, 1..INT_MAX. Tokens are
    // handed out in increasing order and wrap only after INT_MAX of them, so
    // a closed token is not handed out again soon. Throws std::bad_alloc or
    // std::system_error when memory or the lock cannot be had.
    int Add(FT_HANDLE handle);

    std::optional<FT_HANDLE> Find(int token) const;

    // Forgets the token and returns the handle it stood for.
    std::optional<FT_HANDLE> Remove(int token);

    std::size_t Size() const;

    // Makes the next calls of Add throw std::bad_alloc, so tests can check
    // that no exception escapes an export.
    void FailAddsForTesting(bool fail) { fail_adds_ = fail; }

private:
    HandleTable() = default;

    mutable std::mutex mutex_;
    std::unordered_map<int, FT_HANDLE> units_;
    int next_token_ = 1;
    std::atomic<bool> fail_adds_{false};
};

// The token an export's `void *handle` argument carries, or nullopt when the
// pointer cannot be a token (null, negative, above INT_MAX).
std::optional<int> TokenFromArgument(void *handle);

// Looks up the unit behind an export's handle argument. For anything that is
// not an open unit it stores FT_INVALID_HANDLE in *status and returns nullopt.
std::optional<FT_HANDLE> ResolveUnit(unsigned long *status, void *handle);

// Runs an export's body and turns any exception into a defined failure:
// FT_INSUFFICIENT_RESOURCES in *status and the export's early-failure result.
template <typename Result, typename Body>
Result Guarded(unsigned long *status, Result failure, Body &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        if (status != nullptr) {
            *status = FT_INSUFFICIENT_RESOURCES;
        }
        return failure;
    }
}

template <typename Body>
void GuardedVoid(unsigned long *status, Body &&body) noexcept
{
    try {
        body();
    } catch (...) {
        if (status != nullptr) {
            *status = FT_INSUFFICIENT_RESOURCES;
        }
    }
}

}  // namespace vontrel

#endif
