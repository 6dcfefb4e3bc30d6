// SPDX-License-Identifier: MIT
// One open serial port through the kernel's tty interface.
//
// termios2 comes from the kernel's own header, which cannot share a unit
// with <termios.h>; this file uses the ioctls directly.
#include "d2xx/serial/port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "d2xx/serial/errors.h"

namespace vserial {
namespace {

using Clock = std::chrono::steady_clock;

// A rate the driver changes by more than this is refused: a UART link
// tolerates a few per cent between the two ends.
constexpr double kBaudTolerance = 0.03;

// D2XX's word lengths, stop bits and parities.
constexpr UCHAR kBits7 = 7;
constexpr UCHAR kStopBits2 = 2;
constexpr UCHAR kParityOdd = 1;
constexpr UCHAR kParityEven = 2;
constexpr UCHAR kParityMark = 3;
constexpr UCHAR kParitySpace = 4;

// Raw mode: bytes pass unchanged both ways, nothing is echoed or turned
// into a signal, no flow control. A read with nothing to read answers
// EAGAIN (VMIN 1 on a non-blocking descriptor), so that a read of 0 bytes
// means only one thing: the port hung up.
void MakeRaw(termios2 &t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

std::optional<Clock::time_point> Deadline(ULONG timeout_ms)
{
    if (timeout_ms == 0) {
        return std::nullopt;
    }
    return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// Moves `count` bytes through `io` (a read or a write from offset `at`),
// waiting for `events` while the port is not ready, until every byte has
// moved or the deadline passes. Returns 0, ETIMEDOUT, or the errno that
// stopped it (EIO for a hang-up: in raw mode with VMIN 1 only a hang-up
// reads 0 bytes).
template <typename Io>
int Pump(int fd, short events, const std::optional<Clock::time_point> &deadline, Io &&io,
         DWORD count, DWORD *done)
{
    while (*done < count) {
        const ssize_t n = io(*done);
        if (n > 0) {
            *done += static_cast<DWORD>(n);
            continue;
        }
        if (n == 0 && events == POLLIN) {
            return EIO;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return errno;
        }
        pollfd p{fd, events, 0};
        const std::optional<Clock::duration> left =
            deadline ? std::optional<Clock::duration>(*deadline - Clock::now()) : std::nullopt;
        const int ready = poll(&p, 1, PollTimeoutMs(left));
        if (ready < 0 && errno != EINTR) {
            return errno;
        }
        // A poll that ran out before the deadline (a wait longer than poll
        // can take in one go) waits again for the rest.
        if (ready == 0 && deadline && Clock::now() >= *deadline) {
            return ETIMEDOUT;
        }
    }
    return 0;
}

}  // namespace

int PollTimeoutMs(const std::optional<std::chrono::steady_clock::duration> &left)
{
    if (!left) {
        return -1;
    }
    if (*left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, std::numeric_limits<int>::max()));
}

std::unique_ptr<Port> Port::Open(const std::string &path, Latency latency, FT_STATUS *status)
{
    const auto fail = [&](int error) -> std::unique_ptr<Port> {
        *status = Meaning(error, Stage::kOpen).status;
        SetLastMessage(Describe(path, error, Stage::kOpen));
        return nullptr;
    };
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fail(errno);
    }
    std::unique_ptr<Port> port(new Port(fd, path));
    // Only a terminal is a serial port: a file, a FIFO or /dev/null named
    // by mistake is refused for what it is before its lock is tried.
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return fail(errno);
    }
    // The lock keeps every other handle out, in this process and in others,
    // root's included (a tty's own exclusive mode does not stop root).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno);
    }
    port->saved_ = std::make_unique<termios2>(t);
    MakeRaw(t);
    if (ioctl(fd, TCSETS2, &t) != 0) {
        return fail(errno);
    }
    if (latency == Latency::kLow) {
        // A USB converter's driver turns low-latency mode into a 1 ms latency
        // timer; any user may ask for it. Ports without it (a pseudo-terminal,
        // another driver) go on at their own latency.
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            [[maybe_unused]] const int ignored = ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    *status = FT_OK;
    return port;
}

Port::Port(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

Port::~Port()
{
    if (saved_ != nullptr && !gone_) {
        [[maybe_unused]] const int ignored = ioctl(fd_, TCSETS2, saved_.get());
    }
    close(fd_);
}

FT_STATUS Port::Fail(int error)
{
    const ErrnoMeaning meaning = Meaning(error, Stage::kOpenPort);
    gone_ = gone_ || meaning.gone;
    SetLastMessage(Describe(path_, error, Stage::kOpenPort));
    return meaning.status;
}

FT_STATUS Port::Refuse(FT_STATUS status, const std::string &why)
{
    SetLastMessage(path_ + ": " + why);
    return status;
}

FT_STATUS Port::Gone()
{
    return Refuse(FT_IO_ERROR,
                  "the port went away earlier (unplugged, or the far end closed); "
                  "close the handle and open the unit again");
}

FT_STATUS Port::Purge()
{
    if (gone_) {
        return Gone();
    }
    return ioctl(fd_, TCFLSH, TCIOFLUSH) == 0 ? FT_OK : Fail(errno);
}

FT_STATUS Port::SetBaudRate(ULONG baud)
{
    if (gone_) {
        return Gone();
    }
    if (baud == 0) {
        return Refuse(FT_INVALID_BAUD_RATE, "a baud rate of 0");
    }
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) {
        return Fail(errno);
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    if (ioctl(fd_, TCSETS2, &t) != 0) {
        if (errno == EINVAL) {
            return Refuse(FT_INVALID_BAUD_RATE,
                          "the driver refused " + std::to_string(baud) + " baud");
        }
        return Fail(errno);
    }
    // The driver may round the rate to what its clock divides to; refuse a
    // rate that ends up too far from the one asked for.
    if (ioctl(fd_, TCGETS2, &t) != 0) {
        return Fail(errno);
    }
    if (std::fabs(static_cast<double>(t.c_ospeed) - baud) > kBaudTolerance * baud) {
        return Refuse(FT_INVALID_BAUD_RATE, "asked for " + std::to_string(baud) +
                                                " baud, the driver set " +
                                                std::to_string(t.c_ospeed));
    }
    return FT_OK;
}

FT_STATUS Port::SetDataCharacteristics(UCHAR word_length, UCHAR stop_bits, UCHAR parity)
{
    if (gone_) {
        return Gone();
    }
    if ((word_length != FT_BITS_8 && word_length != kBits7) ||
        (stop_bits != FT_STOP_BITS_1 && stop_bits != kStopBits2) || parity > kParitySpace) {
        return Refuse(FT_INVALID_PARAMETER, "no such data characteristics: word length " +
                                                std::to_string(word_length) + ", stop bits " +
                                                std::to_string(stop_bits) + ", parity " +
                                                std::to_string(parity));
    }
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0) {
        return Fail(errno);
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    t.c_cflag |= word_length == FT_BITS_8 ? CS8 : CS7;
    if (stop_bits == kStopBits2) {
        t.c_cflag |= CSTOPB;
    }
    switch (parity) {
        case kParityOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case kParityEven:
            t.c_cflag |= PARENB;
            break;
        case kParityMark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case kParitySpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    return ioctl(fd_, TCSETS2, &t) == 0 ? FT_OK : Fail(errno);
}

FT_STATUS Port::SetTimeouts(ULONG read_ms, ULONG write_ms)
{
    if (gone_) {
        return Gone();
    }
    read_timeout_ms_ = read_ms;
    write_timeout_ms_ = write_ms;
    return FT_OK;
}

FT_STATUS Port::Read(std::uint8_t *bytes, DWORD count, DWORD *received)
{
    *received = 0;
    if (gone_) {
        return Gone();
    }
    const int error = Pump(
        fd_, POLLIN, Deadline(read_timeout_ms_),
        [&](DWORD at) { return read(fd_, bytes + at, count - at); }, count, received);
    if (error == ETIMEDOUT) {
        // The read time-out: what came is the answer.
        SetLastMessage(path_ + ": the read time-out of " + std::to_string(read_timeout_ms_) +
                       " ms passed with " + std::to_string(*received) + " of " +
                       std::to_string(count) + " bytes come (the far end does not answer)");
        return FT_OK;
    }
    return error == 0 ? FT_OK : Fail(error);
}

FT_STATUS Port::Write(const std::uint8_t *bytes, DWORD count, DWORD *written)
{
    *written = 0;
    if (gone_) {
        return Gone();
    }
    const int error = Pump(
        fd_, POLLOUT, Deadline(write_timeout_ms_),
        [&](DWORD at) { return write(fd_, bytes + at, count - at); }, count, written);
    return error == 0 ? FT_OK : Fail(error);
}

}  // namespace vserial
