// SPDX-License-Identifier: MIT
// One open serial port through the kernel's tty interface: raw mode, any
// baud rate (termios2), reads and writes bounded by poll, an advisory lock
// that keeps other handles and programs out. The same code drives a USB
// converter's ttyUSB and a pseudo-terminal.
//
// A Port is not safe for concurrent use; the caller serialises calls on it.
#ifndef VONTREL_D2XX_SERIAL_PORT_H
#define VONTREL_D2XX_SERIAL_PORT_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "d2xx/ftd2xx.h"

struct termios2;  // the kernel's, from <asm/termbits.h>

namespace vserial {

// What poll is given for a wait of `left` (none: no limit): -1 for no
// limit, else the milliseconds rounded up, so that a wait never ends
// before its time, and at most the largest int poll takes. A longer wait
// polls again for the rest.
int PollTimeoutMs(const std::optional<std::chrono::steady_clock::duration> &left);

// What to ask of the driver's latency timer at open.
enum class Latency {
    kLow,            // the driver's low-latency mode (1 ms on a USB converter)
    kDriverDefault,  // leave the driver's setting alone
};

class Port {
public:
    // Opens `path` for reading and writing, takes its lock and puts it in
    // raw mode. On failure returns null with `*status` set and the reason in
    // the thread's last message. Closing gives the port its settings back,
    // so that a terminal named by mistake is not left raw.
    static std::unique_ptr<Port> Open(const std::string &path, Latency latency, FT_STATUS *status);
    ~Port();
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // Each returns the call's D2XX status; a failure also sets the thread's
    // last message. Once the port has gone away every call fails with
    // FT_IO_ERROR at once.
    FT_STATUS Purge();  // discards what is buffered in both directions
    FT_STATUS SetBaudRate(ULONG baud);
    FT_STATUS SetDataCharacteristics(UCHAR word_length, UCHAR stop_bits, UCHAR parity);
    FT_STATUS SetTimeouts(ULONG read_ms, ULONG write_ms);  // 0: no limit
    // Returns when `count` bytes have come or the read time-out has passed:
    // FT_OK with what came.
    FT_STATUS Read(std::uint8_t *bytes, DWORD count, DWORD *received);
    // Writes every byte within the write time-out, or fails.
    FT_STATUS Write(const std::uint8_t *bytes, DWORD count, DWORD *written);

private:
    Port(int fd, std::string path);
    FT_STATUS Fail(int error);
    FT_STATUS Refuse(FT_STATUS status, const std::string &why);
    FT_STATUS Gone();

    int fd_;
    std::string path_;
    std::unique_ptr<termios2> saved_;  // the settings it had, once read
    ULONG read_timeout_ms_ = 0;
    ULONG write_timeout_ms_ = 0;
    bool gone_ = false;
};

}  // namespace vserial

#endif
