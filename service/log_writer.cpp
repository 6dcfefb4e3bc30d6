// SPDX-License-Identifier: MIT
// The log's queue and its writer thread.
#include "service/log_writer.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vontrel::service {
namespace {

// How long the writer is given at the end to write what is queued.
constexpr auto kLogDrainTime = std::chrono::seconds(1);

}  // namespace

struct LogWriter::State {
    State(int f, std::string p) : fd(f), prefix(std::move(p)) {}
    const int fd;
    const std::string prefix;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    std::uint64_t dropped = 0;
    bool stopping = false;
    bool finished = false;
};

LogWriter::LogWriter(int fd, std::string prefix)
    : state_(std::make_shared<State>(fd, std::move(prefix)))
{
    std::thread([state = state_] { Write(state); }).detach();
}

LogWriter::~LogWriter()
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
    state_->changed.wait_for(lock, kLogDrainTime, [&] { return state_->finished; });
}

void LogWriter::Push(std::string line)
{
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->lines.size() >= kLogQueueLines) {
            ++state_->dropped;
            return;
        }
        state_->lines.push_back(std::move(line));
    }
    state_->changed.notify_all();
}

Log LogWriter::Sink()
{
    return [this](const std::string &line) { Push(line); };
}

void LogWriter::Write(const std::shared_ptr<State> &state)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->changed.wait(
            lock, [&] { return state->stopping || !state->lines.empty() || state->dropped > 0; });
        if (state->lines.empty() && state->dropped == 0) {
            break;  // stopping, and all is written
        }
        std::string text;
        if (state->dropped > 0) {
            text = fmt::format("{}{} log lines dropped: the log was not taking them\n",
                               state->prefix, std::exchange(state->dropped, 0));
        }
        for (const std::string &line : state->lines) {
            text += state->prefix + line + "\n";
        }
        state->lines.clear();
        lock.unlock();
        std::string_view rest = text;
        while (!rest.empty()) {
            const ssize_t n = write(state->fd, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;  // a log that cannot be written loses the lines
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        lock.lock();
    }
    state->finished = true;
    state->changed.notify_all();
}

}  // namespace vontrel::service
