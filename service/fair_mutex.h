// SPDX-License-Identifier: MIT
// A mutex granted in the order it was asked for.
#ifndef VONTREL_SERVICE_FAIR_MUTEX_H
#define VONTREL_SERVICE_FAIR_MUTEX_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vontrel::service {

// A mutex granted first come, first served.
class FairMutex {
public:
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::uint64_t next_ = 0;
    std::uint64_t serving_ = 0;
};

}  // namespace vontrel::service

#endif
