// A connection's error queue and standard event status register. The
// connection's own thread and its list sweep's thread both report errors,
// so the two are kept together under one lock.
#ifndef VONTREL_TOOLS_SERVE_STATUS_REGISTERS_H
#define VONTREL_TOOLS_SERVE_STATUS_REGISTERS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "tools/serve/unit_owner.h"

namespace vontrel::serve {

// Standard event status register bits (IEEE 488.2).
inline constexpr std::uint8_t kEsrOperationComplete = 1U << 0;
inline constexpr std::uint8_t kEsrQueryError = 1U << 2;
inline constexpr std::uint8_t kEsrDeviceError = 1U << 3;
inline constexpr std::uint8_t kEsrExecutionError = 1U << 4;
inline constexpr std::uint8_t kEsrCommandError = 1U << 5;

// Entries the error queue holds; an error that finds it full turns the
// newest entry into -350 "Queue overflow" and is itself lost.
inline constexpr std::size_t kErrorQueueSize = 20;

class StatusRegisters {
public:
    // `log` gets one line per error, prefixed with `who`.
    StatusRegisters(std::string who, Log log) : who_(std::move(who)), log_(std::move(log)) {}

    // Queues an error and sets its event bit.
    void Push(int code, const std::string &detail);

    // The oldest error, taken off the queue: -113,"Undefined header; FOO".
    // 0,"No error" when there is none.
    std::string Next();
    std::size_t Count();

    std::uint8_t Esr();
    std::uint8_t TakeEsr();  // reads and clears

    // *OPC: the operation complete bit is set by OperationComplete() once it
    // has been armed.
    void ArmOperationComplete();
    void OperationComplete();

    // *CLS: empties the queue and the register, disarms *OPC.
    void Clear();

private:
    std::mutex mutex_;
    std::deque<std::string> errors_;
    std::uint8_t esr_ = 0;
    bool opc_armed_ = false;
    const std::string who_;
    const Log log_;
};

// An error queue entry: the number, then the standard text and the detail
// in quotes, printable ASCII only and at most 255 characters of text.
std::string ErrorEntry(int code, const std::string &detail);

}  // namespace vontrel::serve

#endif
