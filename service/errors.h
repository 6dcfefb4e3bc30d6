// SPDX-License-Identifier: MIT
// What the service layer reports when it refuses or cannot carry out a
// request, in words of its own: each front end turns a Refusal into its
// own terms (an SCPI error number, an HTTP status, a Tango reason).
// A failed exchange with the unit stays a std::system_error carrying the
// D2XX status.
#ifndef VONTREL_SERVICE_ERRORS_H
#define VONTREL_SERVICE_ERRORS_H

#include <stdexcept>
#include <string>

namespace vontrel::service {

enum class Reason {
    kValueRefused,  // a value the unit does not take (a range, the level policy)
    kConflict,      // the request conflicts with what runs (a sweep, another owner)
    kUnitFailed,    // an exchange with the unit failed or the unit is gone
    kStopped,       // the work stopped for another cause (an exception on the way)
};

class Refusal : public std::runtime_error {
public:
    Refusal(Reason reason, const std::string &detail) : std::runtime_error(detail), reason_(reason)
    {
    }
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

}  // namespace vontrel::service

#endif
