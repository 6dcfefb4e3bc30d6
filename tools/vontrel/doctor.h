// SPDX-License-Identifier: MIT
// vontrel doctor: which D2XX library the tool runs on, which converters the
// system shows, whether this user can reach the units, and what to fix.
#ifndef VONTREL_TOOLS_VONTREL_DOCTOR_H
#define VONTREL_TOOLS_VONTREL_DOCTOR_H

#include <string>

namespace vontrel::tool {

// The D2XX library this process loaded, and the file it came from.
struct D2xxLibrary {
    std::string kind;  // "serial", "simulator" or "other"
    std::string file;
};
D2xxLibrary LoadedD2xx();

// What went wrong in this thread's last D2XX call, when the loaded library
// says (the serial one does); "" otherwise.
std::string D2xxLastMessage();

// Why units of this thread's last walk (Vontrel_Open) did not open, as the
// D2XX library said: the serial library's open failures of the walk, which
// later calls of the walk do not clear; else its last message.
std::string D2xxWalkMessage();

// What to check when no unit is found, for the D2XX library loaded.
std::string NoUnitHint();

// Runs the doctor: prints what it found (text, or JSON with `json`) and
// returns 0 when at least one unit can be used, 1 otherwise.
int Doctor(bool json);

}  // namespace vontrel::tool

#endif
