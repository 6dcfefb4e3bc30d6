// SPDX-License-Identifier: MIT
// The errno table, and the last failure's text.
#include "d2xx/serial/errors.h"

#include <cerrno>
#include <cstring>

namespace vserial {
namespace {

struct Row {
    int error;
    FT_STATUS at_open;  // FT_Open, and the port's set-up inside it
    FT_STATUS on_port;  // any call on a port that is open
    bool gone;          // the port went away: every later call fails at once
    const char *words;
};

// Every errno the library gives a meaning to. A time-out is reported as
// ETIMEDOUT. Anything else: FT_DEVICE_NOT_OPENED at open, FT_IO_ERROR on an
// open port.
constexpr Row kTable[] = {
    {EACCES, FT_DEVICE_NOT_OPENED, FT_IO_ERROR, false,
     "this user may not open the port (see 'vontrel doctor')"},
    {EPERM, FT_DEVICE_NOT_OPENED, FT_IO_ERROR, false,
     "this user may not open the port (see 'vontrel doctor')"},
    {EWOULDBLOCK, FT_DEVICE_NOT_OPENED, FT_IO_ERROR, false,
     "the port is in use: another handle or program holds its lock"},
    {EBUSY, FT_DEVICE_NOT_OPENED, FT_IO_ERROR, false,
     "the port is in use: another program opened it exclusively"},
    {ENOENT, FT_DEVICE_NOT_FOUND, FT_IO_ERROR, true, "no such port (unplugged?)"},
    {ENODEV, FT_DEVICE_NOT_FOUND, FT_IO_ERROR, true, "the port went away (unplugged?)"},
    {ENXIO, FT_DEVICE_NOT_FOUND, FT_IO_ERROR, true, "the port went away (unplugged?)"},
    {EIO, FT_DEVICE_NOT_OPENED, FT_IO_ERROR, true,
     "the port went away (unplugged, or the far end closed)"},
    {EPIPE, FT_DEVICE_NOT_OPENED, FT_IO_ERROR, true, "the port went away"},
    // Not a terminal at all: no such serial port, not one in use.
    {ENOTTY, FT_DEVICE_NOT_FOUND, FT_IO_ERROR, false,
     "not a serial port (not a terminal); name the converter's tty"},
    {EISDIR, FT_DEVICE_NOT_FOUND, FT_IO_ERROR, false,
     "a folder, not a serial port; name the converter's tty"},
    {EINVAL, FT_INVALID_PARAMETER, FT_INVALID_PARAMETER, false, "the driver refused the setting"},
    {ENOMEM, FT_INSUFFICIENT_RESOURCES, FT_INSUFFICIENT_RESOURCES, false, "out of memory"},
    {EMFILE, FT_INSUFFICIENT_RESOURCES, FT_INSUFFICIENT_RESOURCES, false,
     "too many open files in this process"},
    {ENFILE, FT_INSUFFICIENT_RESOURCES, FT_INSUFFICIENT_RESOURCES, false,
     "too many open files in the system"},
    {ETIMEDOUT, FT_IO_ERROR, FT_IO_ERROR, false,
     "the write time-out passed before every byte went out"},
};

thread_local std::string last_message;

}  // namespace

ErrnoMeaning Meaning(int error, Stage stage)
{
    for (const Row &row : kTable) {
        if (row.error == error) {
            return {stage == Stage::kOpen ? row.at_open : row.on_port,
                    stage == Stage::kOpenPort && row.gone, row.words};
        }
    }
    return {stage == Stage::kOpen ? FT_DEVICE_NOT_OPENED : FT_IO_ERROR, false,
            stage == Stage::kOpen ? "the port could not be opened" : "the port failed"};
}

std::string Describe(const std::string &path, int error, Stage stage)
{
    const char *name = strerrorname_np(error);
    const char *text = strerrordesc_np(error);
    return path + ": " + Meaning(error, stage).words + " (" +
           (name != nullptr ? name : "errno " + std::to_string(error)) + ": " +
           (text != nullptr ? text : "unknown error") + ")";
}

void SetLastMessage(std::string message)
{
    last_message = std::move(message);
}

const char *LastMessage()
{
    return last_message.c_str();
}

}  // namespace vserial
