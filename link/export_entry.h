// SPDX-License-Identifier: MIT
// How every export that talks to one unit starts, in one place, so that all
// of them check their arguments the same way and in the same order:
//   1. a null `status`: nothing is done and the export's refusal result is
//      returned;
//   2. a null required pointer: FT_INVALID_PARAMETER, the refusal result;
//   3. *status is set to FT_OK, so it keeps the first failure of the calls
//      that follow (see Record in link/transact.h);
//   4. a handle that is not an open unit, or whose close has begun:
//      FT_INVALID_HANDLE, `on_unknown_handle()`, the refusal result, and no
//      D2XX call;
//   5. the body, given the unit's Link, with the unit held open until it
//      returns (a concurrent Vontrel_Close waits for it) and inside the
//      exception barrier.
#ifndef VONTREL_LINK_EXPORT_ENTRY_H
#define VONTREL_LINK_EXPORT_ENTRY_H

#include <utility>

#include "link/guarded.h"
#include "link/handle_table.h"
#include "link/link.h"

namespace vontrel {

template <typename Result, typename OnUnknownHandle, typename Body>
[[gnu::always_inline]] inline Result RunOnUnit(unsigned long *status, void *handle,
                                               bool pointers_given, Result refused,
                                               OnUnknownHandle &&on_unknown_handle,
                                               Body &&body) noexcept
{
    if (status == nullptr) {
        return refused;
    }
    if (!pointers_given) {
        *status = FT_INVALID_PARAMETER;
        return refused;
    }
    *status = FT_OK;
    return Guarded(
        status, refused, [&]() __attribute__((always_inline))->Result {
            const UnitLease unit(handle);
            if (!unit) {
                *status = FT_INVALID_HANDLE;
                on_unknown_handle();
                return refused;
            }
            Link link(unit.handle(), unit.books());
            return body(link);
        });
}

// For exports with nothing to do on an unknown handle beyond the status.
template <typename Result, typename Body>
[[gnu::always_inline]] inline Result RunOnUnit(unsigned long *status, void *handle,
                                               bool pointers_given, Result refused,
                                               Body &&body) noexcept
{
    return RunOnUnit(
        status, handle, pointers_given, refused, [] {}, std::forward<Body>(body));
}

}  // namespace vontrel

#endif
