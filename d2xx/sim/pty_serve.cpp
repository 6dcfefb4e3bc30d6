// SPDX-License-Identifier: MIT
// vontrel-sim serve --pty [--latency-ms MS]
//
// Opens one pseudo-terminal per plugged converter of the configured bench
// (VONTREL_SIM_CONFIG, else the default bench, kept in this process's
// memory), prints one line per converter, "PATH DESCRIPTION", and answers
// command frames as the in-process simulator does, until SIGTERM or SIGINT.
// Mains switches get no terminal (bit-bang needs the converter's own
// interface); a unit on an outlet the description starts off is served
// and does not answer.
//
// The far side is a byte stream, as a real unit's receiver is: frames may
// come split or run together, and the server finds each by its markers.
// A frame is answered only at the unit's line settings, as the far side set
// them on its end of the pseudo-terminal. The reply takes the link's time:
// command and reply cross the wire at that baud rate one after the other,
// and the converter hands the reply over at the next tick of its latency
// timer, which runs freely from the start of the server.
#include "d2xx/sim/pty_serve.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "d2xx/link_model.h"
#include "d2xx/sim/bench.h"
#include "d2xx/sim/vsim.h"

namespace vsim {
namespace {

using Clock = std::chrono::steady_clock;

using vontrel::link_model::kDefaultLatencyMs;
using vontrel::link_model::kMaxLatencyMs;
constexpr std::size_t kReadChunk = 4096;

struct Reply {
    Clock::time_point ready;  // when the converter hands it over
    Frame bytes;
};

struct Line {
    int converter = -1;
    std::string description;
    int master = -1;
    int slave = -1;  // held open so the terminal outlives each client
    std::string path;
    std::vector<std::uint8_t> input;   // received, not yet a whole frame
    std::deque<Reply> replies;         // waiting for the latency timer
    std::vector<std::uint8_t> output;  // handed over, not yet taken by the terminal
    Clock::time_point wire_free{};     // when the last exchange left the wire
};

int Usage(const char *why)
{
    std::fprintf(stderr,
                 "vontrel-sim serve: %s\n"
                 "usage: vontrel-sim serve --pty [--latency-ms MS]\n"
                 "  --pty            serve each converter on a pseudo-terminal\n"
                 "  --latency-ms MS  the converter's latency timer, 0 to %g (default %g)\n",
                 why, kMaxLatencyMs, kDefaultLatencyMs);
    return 2;
}

std::optional<double> ParseLatency(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0.0 ||
        value > kMaxLatencyMs) {
        return std::nullopt;
    }
    return value;
}

// Opens a pseudo-terminal for the line: the master end raw and
// non-blocking, the other end held open and raw until a client sets it.
bool OpenTerminal(Line &line)
{
    line.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0) {
        return false;
    }
    char name[128];
    if (ptsname_r(line.master, name, sizeof name) != 0) {
        return false;
    }
    line.path = name;
    line.slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line.slave < 0) {
        return false;
    }
    termios2 t{};
    if (ioctl(line.slave, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag =
        (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB)) | CS8 | CREAD | CLOCAL;
    return ioctl(line.slave, TCSETS2, &t) == 0;
}

// The baud rate of the far side when its line is set as the unit's, else 0.
speed_t UnitLineBaud(const Line &line)
{
    termios2 t{};
    if (ioctl(line.slave, TCGETS2, &t) != 0) {
        return 0;
    }
    const bool unit_line = t.c_ospeed == kUnitBaud && (t.c_cflag & CSIZE) == CS8 &&
                           (t.c_cflag & (CSTOPB | PARENB)) == 0;
    return unit_line ? t.c_ospeed : 0;
}

class Server {
public:
    explicit Server(double latency_ms)
        : latency_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double, std::milli>(latency_ms))),
          epoch_(Clock::now())
    {
    }
    ~Server()
    {
        for (Line &line : lines_) {
            if (line.slave >= 0) {
                close(line.slave);
            }
            if (line.master >= 0) {
                close(line.master);
            }
        }
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Opens a terminal for each plugged converter and prints its line.
    // Returns 0, or the exit status when there is nothing it can serve.
    int Open()
    {
        // This server's units live in its memory, from power-up: the state
        // file that other programs share is neither read nor written.
        setenv("VONTREL_SIM_STATE", "memory", 1);
        Locked bench;
        LoadConfiguredBench(*bench);
        if (!bench->error.empty()) {
            std::fprintf(stderr, "vontrel-sim serve: %s\n", bench->error.c_str());
            return bench->error_kind == VSIM_BENCH_CONFIG ? 2 : 1;
        }
        for (std::size_t id = 0; id < bench->converters.size(); ++id) {
            const Converter &c = bench->converters[id];
            // A mains switch is driven in bit-bang mode, which a terminal
            // cannot do: it has no line here. Its outlets, as the bench
            // description sets them, still power the units served.
            if (!Present(c) || c.mains) {
                continue;
            }
            Line &line = lines_.emplace_back();
            line.converter = static_cast<int>(id);
            line.description = c.description;
            if (!OpenTerminal(line)) {
                std::fprintf(stderr, "vontrel-sim serve: cannot open a pseudo-terminal: %s\n",
                             std::strerror(errno));
                return 1;
            }
        }
        if (lines_.empty()) {
            std::fprintf(stderr, "vontrel-sim serve: the bench has no plugged converter\n");
            return 1;
        }
        for (const Line &line : lines_) {
            std::printf("%s %s\n", line.path.c_str(), line.description.c_str());
        }
        // The lines are how a client learns the terminals: lost, they leave
        // a server nobody can reach.
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            std::fprintf(stderr, "vontrel-sim serve: cannot write to standard output: %s\n",
                         std::strerror(errno));
            return 1;
        }
        return 0;
    }

    // Serves until a signal arrives on `signals`; false when serving failed.
    bool Run(int signals)
    {
        std::vector<pollfd> polled;
        for (;;) {
            polled.assign(1, pollfd{signals, POLLIN, 0});
            for (const Line &line : lines_) {
                const short events = line.output.empty() ? POLLIN : POLLIN | POLLOUT;
                polled.push_back(pollfd{line.master, events, 0});
            }
            const std::optional<timespec> wait = Timeout();
            if (ppoll(polled.data(), polled.size(), wait ? &*wait : nullptr, nullptr) < 0 &&
                errno != EINTR) {
                std::fprintf(stderr, "vontrel-sim serve: poll: %s\n", std::strerror(errno));
                return false;
            }
            if ((polled[0].revents & POLLIN) != 0) {
                return true;
            }
            for (std::size_t i = 0; i < lines_.size(); ++i) {
                if ((polled[i + 1].revents & POLLIN) != 0) {
                    Receive(lines_[i]);
                }
                HandOver(lines_[i]);
            }
        }
    }

private:
    // Milliseconds until the next reply is due, -1 when none waits.
    // How long the loop may wait for input before the next reply is due, to
    // the nanosecond: a wait rounded to whole milliseconds would hand a
    // reply over up to a millisecond after its tick. nullopt: no reply due.
    std::optional<timespec> Timeout() const
    {
        std::optional<Clock::time_point> next;
        for (const Line &line : lines_) {
            if (!line.replies.empty() && (!next || line.replies.front().ready < *next)) {
                next = line.replies.front().ready;
            }
        }
        if (!next) {
            return std::nullopt;
        }
        const auto left =
            std::max(Clock::duration::zero(),
                     std::chrono::duration_cast<Clock::duration>(*next - Clock::now()));
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        return timespec{
            static_cast<time_t>(seconds.count()),
            static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
    }

    // The first tick of the latency timer at or after `t`.
    Clock::time_point NextTick(Clock::time_point t) const
    {
        if (latency_ <= Clock::duration::zero()) {
            return t;
        }
        const auto ticks = (t - epoch_ + latency_ - Clock::duration(1)) / latency_;
        return epoch_ + ticks * latency_;
    }

    void Receive(Line &line)
    {
        std::uint8_t chunk[kReadChunk];
        const ssize_t n = read(line.master, chunk, sizeof chunk);
        if (n <= 0) {
            return;  // nothing after all, or no client on the other end
        }
        line.input.insert(line.input.end(), chunk, chunk + n);
        // Find frames by their markers; bytes that cannot start one are noise.
        std::size_t at = 0;
        while (line.input.size() - at >= std::tuple_size_v<Frame>) {
            Frame frame;
            std::copy_n(line.input.begin() + static_cast<std::ptrdiff_t>(at), frame.size(),
                        frame.begin());
            if (!IsFrame(frame)) {
                ++at;
                continue;
            }
            at += frame.size();
            Take(line, frame);
        }
        line.input.erase(line.input.begin(), line.input.begin() + static_cast<std::ptrdiff_t>(at));
    }

    // The unit takes a frame off the wire and queues its reply.
    void Take(Line &line, const Frame &frame)
    {
        TraceFrame(line.converter, "->", frame.data(), frame.size(), FT_OK);
        const speed_t baud = UnitLineBaud(line);
        if (baud == 0) {
            return;  // at other line settings the unit hears noise
        }
        std::optional<Frame> reply;
        Clock::duration late{};
        {
            Locked bench;
            reply = Answer(bench->converters[line.converter], frame);
            if (reply) {
                late = TakeLateReply(*bench);
            }
        }
        if (!reply) {
            return;
        }
        const auto wire =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(
                vontrel::link_model::WireMs(vontrel::link_model::kExchangeBytes, baud)));
        const Clock::time_point start = std::max(Clock::now(), line.wire_free);
        line.wire_free = start + wire + late;  // a late reply holds up the ones after it
        if (Buffered(line) + reply->size() > kConverterBufferBytes) {
            // No room: the reply is lost (see kConverterBufferBytes).
            TraceFrame(line.converter, "<-", reply->data(), reply->size(),
                       FT_INSUFFICIENT_RESOURCES);
            return;
        }
        line.replies.push_back(Reply{NextTick(line.wire_free), *reply});
    }

    // Bytes of the line's replies in the converter's buffer, queued or
    // handed over and not yet taken.
    static std::size_t Buffered(const Line &line)
    {
        return line.replies.size() * std::tuple_size_v<Frame> + line.output.size();
    }

    void HandOver(Line &line)
    {
        const Clock::time_point now = Clock::now();
        while (!line.replies.empty() && line.replies.front().ready <= now) {
            const Frame &bytes = line.replies.front().bytes;
            TraceFrame(line.converter, "<-", bytes.data(), bytes.size(), FT_OK);
            line.output.insert(line.output.end(), bytes.begin(), bytes.end());
            line.replies.pop_front();
        }
        if (line.output.empty()) {
            return;
        }
        const ssize_t n = write(line.master, line.output.data(), line.output.size());
        if (n > 0) {
            line.output.erase(line.output.begin(), line.output.begin() + n);
        }
    }

    Clock::duration latency_;
    Clock::time_point epoch_;
    std::vector<Line> lines_;
};

}  // namespace

int Serve(int argc, char **argv)
{
    bool pty = false;
    double latency_ms = kDefaultLatencyMs;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pty") {
            pty = true;
        } else if (arg == "--latency-ms") {
            const auto value = i + 1 < argc ? ParseLatency(argv[++i]) : std::nullopt;
            if (!value) {
                return Usage("--latency-ms takes a number of milliseconds from 0 to 255");
            }
            latency_ms = *value;
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    if (!pty) {
        return Usage("say how to serve: --pty");
    }
    // The signals arrive through a descriptor the loop polls with the
    // terminals, so that the server ends between two frames, never in one.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
        return 1;
    }
    const int signals = signalfd(-1, &stop, SFD_CLOEXEC);
    if (signals < 0) {
        std::fprintf(stderr, "vontrel-sim serve: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 1;
    {
        Server server(latency_ms);
        status = server.Open();
        if (status == 0 && !server.Run(signals)) {
            status = 1;
        }
    }
    close(signals);
    return status;
}

}  // namespace vsim
