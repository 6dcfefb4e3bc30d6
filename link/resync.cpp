// SPDX-License-Identifier: MIT
// Putting a link back in step after a reply that did not come whole (see
// link/link.h). Only ever run after a failure, so it may take its time:
// kQuietMs of silence, and one more wait of kQuietMs after the next reply.
#include <array>
#include <chrono>

#include "link/link.h"
#include "link/open_converter.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Reads what the converter delivers within one kQuietMs read time-out
// into a buffer that is thrown away: how many bytes came, or nullopt when
// the read failed (recorded).
std::optional<DWORD> ReadAndDiscard(unsigned long *status, FT_HANDLE handle)
{
    std::array<std::uint8_t, 64> junk{};
    DWORD received = 0;
    const FT_STATUS read = FT_Read(handle, junk.data(), static_cast<DWORD>(junk.size()), &received);
    Record(status, read);
    if (read != FT_OK) {
        return std::nullopt;
    }
    return received;
}

bool Succeeded(unsigned long *status, FT_STATUS result)
{
    Record(status, result);
    return result == FT_OK;
}

}  // namespace

Outcome AfterFailedRead(unsigned long *status, Link &link, FT_STATUS read)
{
    if (read == FT_OK) {  // short: the unit did not answer in time
        Record(status, FT_IO_ERROR);
        link.Stall();
    } else {
        Record(status, read);
        link.MarkOutOfStep();  // the reply, or the rest of it, may still come
    }
    return Outcome::kReadFailed;
}

Outcome AfterFailedWrite(unsigned long *status, Link &link, FT_STATUS wrote, Frame &response,
                         bool read_after_failed_write)
{
    if (wrote == FT_OK) {  // short: the line does not take the frame
        Record(status, FT_IO_ERROR);
        link.Stall();
        return Outcome::kWriteFailed;
    }
    Record(status, wrote);
    link.MarkOutOfStep();  // part of the frame may have gone out, and a reply may come
    if (read_after_failed_write) {
        DWORD received = 0;
        const FT_STATUS read = FT_Read(link.handle(), response.data(), kFrameSize, &received);
        if (read != FT_OK || received < kFrameSize) {
            AfterFailedRead(status, link, read);
        }
    }
    return Outcome::kWriteFailed;
}

Outcome ExchangeOutOfStep(unsigned long *status, Link &link, const Frame &command, Frame &response,
                          bool read_after_failed_write)
{
    if (link.stalled()) {
        return Outcome::kNotMade;
    }
    if (link.step() == LinkStep::kOutOfStep && !ResyncLink(status, link)) {
        return link.stalled() ? Outcome::kNotMade : Outcome::kWriteFailed;
    }
    Frame out = command;  // FT_Write takes a non-const buffer
    const Outcome outcome = WriteAndRead(status, link, out, response, read_after_failed_write);
    if (outcome == Outcome::kOk && link.step() != LinkStep::kInStep &&
        !ConfirmInStep(status, link)) {
        return Outcome::kReadFailed;
    }
    return outcome;
}

bool ResyncLink(unsigned long *status, Link &link)
{
    const FT_HANDLE handle = link.handle();
    // A reset may bring the converter's line settings back to its defaults:
    // the unit's line is set up again, exactly as at open.
    if (ConfigureLink(handle, kQuietMs, [&](FT_STATUS s) { Record(status, s); }) != FT_OK) {
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainLimitMs);
    for (;;) {
        const auto received = ReadAndDiscard(status, handle);
        if (!received) {
            return false;
        }
        if (*received == 0) {
            break;  // a whole kQuietMs without a byte
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Record(status, FT_IO_ERROR);
            link.Stall();
            return false;
        }
    }
    if (!Succeeded(status, FT_SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs))) {
        return false;
    }
    link.set_step(LinkStep::kConfirmTwice);
    return true;
}

bool ConfirmInStep(unsigned long *status, Link &link)
{
    const FT_HANDLE handle = link.handle();
    if (!Succeeded(status, FT_SetTimeouts(handle, kQuietMs, kWriteTimeoutMs))) {
        link.MarkOutOfStep();
        return false;
    }
    const auto received = ReadAndDiscard(status, handle);
    if (!Succeeded(status, FT_SetTimeouts(handle, kReadTimeoutMs, kWriteTimeoutMs)) || !received) {
        link.MarkOutOfStep();
        return false;
    }
    if (*received > 0) {
        // Another reply came behind the one taken: that one may have been
        // late for a command before it, so neither can be trusted.
        Record(status, FT_IO_ERROR);
        link.Stall();
        return false;
    }
    link.set_step(link.step() == LinkStep::kConfirmTwice ? LinkStep::kConfirm : LinkStep::kInStep);
    return true;
}

}  // namespace vontrel
