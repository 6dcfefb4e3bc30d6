// SPDX-License-Identifier: MIT
// A connection's error queue and standard event status register. The
// connection's own thread and its list sweep's thread both report errors,
// so the two are kept together under one lock.
#ifndef VONTREL_FRONTENDS_SCPI_STATUS_REGISTERS_H
#define VONTREL_FRONTENDS_SCPI_STATUS_REGISTERS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "service/unit_owner.h"

namespace vontrel::serve {

// Standard event status register bits (IEEE 488.2).
inline constexpr std::uint8_t kEsrOperationComplete = 1U << 0;
inline constexpr std::uint8_t kEsrQueryError = 1U << 2;
inline constexpr std::uint8_t kEsrDeviceError = 1U << 3;
inline constexpr std::uint8_t kEsrExecutionError = 1U << 4;
inline constexpr std::uint8_t kEsrCommandError = 1U << 5;

// Status byte bits (IEEE 488.2 and SCPI).
inline constexpr std::uint8_t kStbErrorQueue = 1U << 2;      // the error queue is not empty
inline constexpr std::uint8_t kStbQuestionable = 1U << 3;    // questionable summary
inline constexpr std::uint8_t kStbEventStatus = 1U << 5;     // ESR & ESE
inline constexpr std::uint8_t kStbRequestService = 1U << 6;  // master summary
inline constexpr std::uint8_t kStbOperation = 1U << 7;       // operation summary

// SCPI's questionable and operation registers hold 15 bits.
inline constexpr int kScpiRegisterMask = 0x7FFF;
// Questionable bit: the frequency is not locked.
inline constexpr int kQuesUnlocked = 1 << 5;
// Operation bits: a sweep is running; a sweep waits for a trigger.
inline constexpr int kOperSweeping = 1 << 3;
inline constexpr int kOperWaitingForTrigger = 1 << 5;

// Entries the error queue holds; an error that finds it full turns the
// newest entry into -350 "Queue overflow" and is itself lost.
inline constexpr std::size_t kErrorQueueSize = 20;

class StatusRegisters {
public:
    // `log` gets one line per error, prefixed with `who`.
    StatusRegisters(std::string who, service::Log log) : who_(std::move(who)), log_(std::move(log))
    {
    }

    // Queues an error and sets its event bit. Its log line waits for
    // FlushLog(), so that it is not written while the unit is held.
    void Push(int code, const std::string &detail);
    void FlushLog();

    // The oldest error, taken off the queue: -113,"Undefined header; FOO".
    // 0,"No error" when there is none.
    std::string Next();
    std::size_t Count();

    std::uint8_t Esr();
    std::uint8_t TakeEsr();  // reads and clears

    // An operation (the list sweep) has begun: *OPC waits for its end.
    void OperationStarted();
    // The operation has ended: sets the operation complete bit when *OPC
    // was armed meanwhile.
    void OperationComplete();
    // *OPC: sets the operation complete bit now when no operation is under
    // way, else when it ends. Arming and the operation's end are taken under
    // one lock, so that an end racing with *OPC is never missed.
    void ArmOperationComplete();
    // *RST: a pending *OPC is forgotten.
    void CancelOperationComplete();

    // *CLS: empties the queue and the register, disarms *OPC.
    void Clear();

private:
    std::mutex mutex_;
    std::deque<std::string> errors_;
    std::uint8_t esr_ = 0;
    bool opc_armed_ = false;
    bool operation_running_ = false;
    std::deque<std::string> unlogged_;
    const std::string who_;
    const service::Log log_;
};

// An error queue entry: the number, then the standard text and the detail
// in quotes, printable ASCII only and at most 255 characters of text.
std::string ErrorEntry(int code, const std::string &detail);

}  // namespace vontrel::serve

#endif
