// The frame trace (VONTREL_SIM_TRACE): one line per frame written or read,
// and per open and close, with a time stamp and the process id, to standard
// error or appended to a file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"
#include "include/vontrel_status.h"

namespace vsim {
namespace {

struct Trace {
    int fd = -1;
    Trace()
    {
        const std::string target = Env("VONTREL_SIM_TRACE");
        if (target.empty()) {
            return;
        }
        if (target == "stderr" || target == "-") {
            fd = STDERR_FILENO;
            return;
        }
        fd = open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::fprintf(stderr, "vontrel simulator: cannot open the trace %s: %s\n",
                         target.c_str(), std::strerror(errno));
        }
    }
    void Line(const std::string &text) const
    {
        if (fd < 0) {
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
        [[maybe_unused]] const ssize_t n = write(fd, line.data(), line.size());
    }
};

const Trace &TheTrace()
{
    static const Trace trace;
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
    const Trace &trace = TheTrace();
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

}  // namespace vsim
