// SPDX-License-Identifier: MIT
// How a failed system call becomes a D2XX status, and the words that go
// with it. One table holds every errno the library gives a meaning to.
#ifndef VONTREL_D2XX_SERIAL_ERRORS_H
#define VONTREL_D2XX_SERIAL_ERRORS_H

#include <string>

#include "d2xx/ftd2xx.h"

namespace vserial {

// Where the call failed: while opening the port, or on a port already open.
enum class Stage { kOpen, kOpenPort };

// What one errno means.
struct ErrnoMeaning {
    FT_STATUS status;   // the status the D2XX call returns
    bool gone;          // on an open port: the port went away for good
    const char *words;  // what happened, for the user
};

// What `error` means at `stage`, from the table in errors.cpp. A port that
// is gone answers every later call with FT_IO_ERROR at once.
ErrnoMeaning Meaning(int error, Stage stage);

// The failure's text: "PATH: words (ENAME: system message)".
std::string Describe(const std::string &path, int error, Stage stage);

// What went wrong in this thread's last D2XX call: each call clears it on
// entry, and a failure (or a read cut short by its time-out) sets it.
void SetLastMessage(std::string message);
const char *LastMessage();

}  // namespace vserial

#endif
