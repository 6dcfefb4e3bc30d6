// SPDX-License-Identifier: MIT
// Why a converter that looks like a unit did not open, for each such
// converter: the one place where the tool (list, --unit, doctor), the
// server's unit owner and the Tango device server learn it. Vontrel_Open
// says only which converters it opened; for every other one whose
// description matched, the converter library is asked directly (an open of
// that converter alone, closed again at once), and the system is asked who
// holds it (/proc/*/fd, for a tty or the simulator's lock file).
#ifndef VONTREL_SERVICE_UNIT_CAUSES_H
#define VONTREL_SERVICE_UNIT_CAUSES_H

#include <string>
#include <system_error>
#include <vector>

#include "include/vontrel.hpp"

namespace vontrel::service {

enum class Cause {
    kHeld,           // another program (or this one) has the converter open
    kNotAnswering,   // it opens, but the unit behind it did not answer in step
    kNotSerialPort,  // the name given is no serial port (a file, a folder)
    kGone,           // unplugged, or the port vanished
    kOther,          // anything else the converter library said
};

// The cause as one word for machines: "held", "not_answering",
// "not_serial_port", "gone", "other".
const char *CauseName(Cause cause);

// One converter that looked like a unit and did not open.
struct Unopened {
    int index = -1;           // its enumeration index
    std::string description;  // as the converter library lists it
    Cause cause = Cause::kOther;
    std::string holder;  // "pid 1234, vontrel", "this program", or "" when unknown
    std::string detail;  // what the converter library said of it, or ""

    // "held by another program (pid 1234, vontrel)", "not answering", ...
    std::string Why() const;
    // "index 1 (Vontrel Synthesizer): " followed by Why().
    std::string Text() const;
};

// A walk over the converters: the units that opened, and why each other
// converter that looked like a unit did not.
struct Walk {
    std::vector<vontrel::Unit> units;
    std::vector<Unopened> unopened;
    std::error_code status;  // Vontrel_Open's last D2XX status

    // Whether any converter is held by another program (not this one).
    bool AnyHeldElsewhere() const;
};

// Opens every unit (vontrel::discover) and explains each one that did not
// open. `open_here` are the enumeration indices of units this process holds
// open already (a server's other units): they are not probed, and count as
// open in this program. Throws only where discover() does.
Walk WalkUnits(const std::vector<int> &open_here = {});

// Why the converters in `unopened` did not open, one line each.
std::string CausesText(const std::vector<Unopened> &unopened);

}  // namespace vontrel::service

#endif
