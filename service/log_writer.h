// SPDX-License-Identifier: MIT
// The server's log: lines go to a bounded queue that a thread of its own
// writes out, so a log that nobody reads (a paused terminal, a full pipe)
// never holds up a client. When the queue is full, lines are dropped and
// counted, and the count is written as soon as the writer can go on.
#ifndef VONTREL_SERVICE_LOG_WRITER_H
#define VONTREL_SERVICE_LOG_WRITER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/unit_owner.h"

namespace vontrel::service {

// Lines the log queue holds before it drops new ones.
inline constexpr std::size_t kLogQueueLines = 1024;

class LogWriter {
public:
    // Writes each line to `fd` after `prefix`, with an LF.
    LogWriter(int fd, std::string prefix);
    // Writes what is queued, giving up after kLogDrainTime when the log
    // takes nothing (the writer is then left behind to die with the process).
    ~LogWriter();
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    // Queues a line; never waits for the log to take it.
    void Push(std::string line);

    // A Log that queues its lines here; valid while this LogWriter lives.
    Log Sink();

private:
    struct State;
    static void Write(const std::shared_ptr<State> &state);
    std::shared_ptr<State> state_;
};

}  // namespace vontrel::service

#endif
