// SPDX-License-Identifier: MIT
// The error queue and the standard event status register.
#include "frontends/scpi/status_registers.h"

#include <fmt/format.h>

#include "frontends/scpi/scpi_error.h"

namespace vontrel::serve {
namespace {

constexpr std::size_t kMaxErrorText = 255;

std::uint8_t EventBit(int code)
{
    if (code <= -100 && code > -200) {
        return kEsrCommandError;
    }
    if (code <= -200 && code > -300) {
        return kEsrExecutionError;
    }
    if (code <= -400 && code > -500) {
        return kEsrQueryError;
    }
    return kEsrDeviceError;
}

}  // namespace

std::string ErrorEntry(int code, const std::string &detail)
{
    std::string text = scpi::StandardText(code);
    if (!detail.empty()) {
        text += "; " + detail;
    }
    std::string quoted;
    for (const char c : text.substr(0, kMaxErrorText)) {
        if (c == '"') {
            quoted += "\"\"";
        } else {
            quoted += c >= 0x20 && c < 0x7f ? c : '?';
        }
    }
    return fmt::format("{},\"{}\"", code, quoted);
}

void StatusRegisters::Push(int code, const std::string &detail)
{
    const std::string entry = ErrorEntry(code, detail);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        esr_ |= EventBit(code);
        if (errors_.size() < kErrorQueueSize) {
            errors_.push_back(entry);
        } else {
            errors_.back() = ErrorEntry(scpi::kQueueOverflow, "");
            esr_ |= EventBit(scpi::kQueueOverflow);
        }
        unlogged_.push_back(fmt::format("{}: {}", who_, entry));
    }
}

void StatusRegisters::FlushLog()
{
    std::deque<std::string> lines;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(unlogged_);
    }
    for (const std::string &line : lines) {
        log_(line);
    }
}

std::string StatusRegisters::Next()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (errors_.empty()) {
        return ErrorEntry(scpi::kNoError, "");
    }
    std::string entry = std::move(errors_.front());
    errors_.pop_front();
    return entry;
}

std::size_t StatusRegisters::Count()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return errors_.size();
}

std::uint8_t StatusRegisters::Esr()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return esr_;
}

std::uint8_t StatusRegisters::TakeEsr()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(esr_, 0);
}

void StatusRegisters::OperationStarted()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    operation_running_ = true;
}

void StatusRegisters::OperationComplete()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    operation_running_ = false;
    if (std::exchange(opc_armed_, false)) {
        esr_ |= kEsrOperationComplete;
    }
}

void StatusRegisters::ArmOperationComplete()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (operation_running_) {
        opc_armed_ = true;
    } else {
        esr_ |= kEsrOperationComplete;
    }
}

void StatusRegisters::CancelOperationComplete()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    opc_armed_ = false;
}

void StatusRegisters::Clear()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    errors_.clear();
    esr_ = 0;
    opc_armed_ = false;
}

}  // namespace vontrel::serve
