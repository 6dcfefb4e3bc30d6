// SPDX-License-Identifier: MIT
/// @file vontrel/error.hpp
/// @brief The C++ API's errors: D2XX status codes as std::error_code.
/// Part of vontrel.hpp, which includes every part.
/// @since 0.1.0
#ifndef VONTREL_ERROR_HPP
#define VONTREL_ERROR_HPP

#include <climits>
#include <stdexcept>
#include <string>
#include <system_error>

#include "vontrel_status.h"

namespace vontrel {
inline namespace v0 {

/// The error category of D2XX status codes: name() is "vontrel.d2xx",
/// message(c) is "<NAME>: <message>" from vontrel_status.h.
class StatusCategory final : public std::error_category {
public:
    /// The category's name, "vontrel.d2xx".
    const char *name() const noexcept override { return "vontrel.d2xx"; }

    /// "FT_IO_ERROR: input/output error on the link to the unit".
    std::string message(int code) const override
    {
        const auto status = static_cast<unsigned long>(static_cast<unsigned>(code));
        return std::string(vontrel_status_name(status)) + ": " + vontrel_status_message(status);
    }
};

/// The one instance of StatusCategory.
inline const std::error_category &status_category() noexcept
{
    static const StatusCategory category;
    return category;
}

/// The error_code for a D2XX status; FT_OK (0) is the empty code.
inline std::error_code make_status_code(unsigned long status) noexcept
{
    const int value =
        status > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(status);
    return {value, status_category()};
}

namespace detail {

/// Throws std::system_error for a failed call. A call that failed by its
/// result without leaving a failure status is reported as FT_OTHER_ERROR.
[[noreturn]] inline void raise(unsigned long status, const char *call)
{
    throw std::system_error(
        make_status_code(
            status == VONTREL_FT_OK ? static_cast<unsigned long>(VONTREL_FT_OTHER_ERROR) : status),
        call);
}

/// Throws unless the export ran to its end (result 0) and every one of its
/// D2XX calls succeeded (its *status is FT_OK).
inline void check(int result, unsigned long status, const char *call)
{
    if (result != 0 || status != VONTREL_FT_OK) {
        raise(status, call);
    }
}

}  // namespace detail

}  // namespace v0
}  // namespace vontrel

#endif
