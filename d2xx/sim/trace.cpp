// SPDX-License-Identifier: MIT
// The frame trace (VONTREL_SIM_TRACE): one line per frame written or read,
// and per open and close, with a time stamp and the process id, to standard
// error or appended to a file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"
#include "include/vontrel_status.h"

namespace vsim {
namespace {

struct Trace {
    int fd = -1;
    std::string target;
    std::string error;  // why the trace cannot be written; kept once set

    Trace() : target(Env("VONTREL_SIM_TRACE"))
    {
        if (target.empty()) {
            return;
        }
        if (target == "stderr" || target == "-") {
            fd = STDERR_FILENO;
            return;
        }
        // Non-blocking, so that a FIFO nobody reads is refused, not waited on.
        fd = open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  0644);
        if (fd < 0) {
            Fail(std::generic_category().message(errno));
            return;
        }
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            Fail(std::generic_category().message(errno));
        }
    }

    void Fail(const std::string &why)
    {
        if (error.empty()) {
            error = "cannot write the trace VONTREL_SIM_TRACE=" + target + ": " + why;
        }
    }

    void Line(const std::string &text)
    {
        if (fd < 0 || !error.empty()) {
            return;
        }
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm local{};
        localtime_r(&now.tv_sec, &local);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min,
                      local.tm_sec, now.tv_nsec / 1000);
        const std::string line =
            std::string(stamp) + " pid " + std::to_string(getpid()) + " " + text + "\n";
        // One write per line keeps lines whole when processes share the file.
        if (const int error = WriteAll(fd, line); error != 0) {
            Fail(std::generic_category().message(error));
        }
    }
};

// The trace is guarded by the bench's lock, like every call that writes it.
Trace &TheTrace()
{
    static Trace trace;
    return trace;
}

std::string StatusSuffix(FT_STATUS status)
{
    return status == FT_OK ? std::string() : std::string("  ") + vontrel_status_name(status);
}

}  // namespace

void TraceFrame(int converter, const char *direction, const std::uint8_t *bytes, DWORD count,
                FT_STATUS status)
{
    Trace &trace = TheTrace();
    if (trace.fd < 0) {
        return;
    }
    std::string text = "conv " + std::to_string(converter) + " " + direction;
    char byte[4];
    for (DWORD i = 0; i < count && i < 8; ++i) {
        std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
        text += byte;
    }
    trace.Line(text + StatusSuffix(status));
}

void TraceEvent(int converter, const char *what, FT_STATUS status)
{
    TheTrace().Line("conv " + std::to_string(converter) + " " + what + StatusSuffix(status));
}

const std::string &TraceError()
{
    return TheTrace().error;
}

void OpenTraceFromEnvironment()
{
    if (!TheTrace().error.empty()) {
        throw BenchError(VSIM_BENCH_CONFIG, TheTrace().error);
    }
}

}  // namespace vsim
