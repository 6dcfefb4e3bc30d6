// SPDX-License-Identifier: MIT
// The exception barrier of every export: no C++ exception may cross the C
// ABI, so an export's body runs inside Guarded, which turns any exception
// into a defined failure.
#ifndef VONTREL_LINK_GUARDED_H
#define VONTREL_LINK_GUARDED_H

#include "d2xx/ftd2xx.h"

namespace vontrel {

// Runs `body` and returns its result; on any exception stores
// FT_INSUFFICIENT_RESOURCES in *status (when there is one) and returns
// `failure`.
template <typename Result, typename Body>
[[gnu::always_inline]] inline Result Guarded(unsigned long *status, Result failure,
                                             Body &&body) noexcept
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

}  // namespace vontrel

#endif
