// SPDX-License-Identifier: MIT
// The link's uncommon paths (see link/link.h): keeping the books after a
// reply that came short, reading what is owed, purging a link whose books
// cannot be balanced, and the checks after a purge. Only ever run after a
// failure, so they may take their time.
#include <array>
#include <chrono>

#include "link/link.h"
#include "link/open_converter.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Reads what the converter delivers within one read time-out into a buffer
// that is thrown away: how many bytes came, or nullopt when the read failed
// (recorded).
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

bool Checked(LinkStep step)
{
    return step == LinkStep::kConfirm || step == LinkStep::kConfirmTwice;
}

}  // namespace

Outcome AfterFailedRead(unsigned long *status, Link &link, FT_STATUS read, DWORD received)
{
    if (read != FT_OK) {
        Record(status, read);
        link.MarkOutOfStep();  // bytes may have been lost: the count is gone
        return Outcome::kReadFailed;
    }
    // Short by the time-out: the unit did not answer in time. On books that
    // balanced when the frame went out, the rest of this reply is all that
    // is owed; on a link just purged, an older reply may come as well.
    Record(status, FT_IO_ERROR);
    if (link.step() == LinkStep::kInStep) {
        link.Owe(kFrameSize - received);
    } else {
        link.MarkOutOfStep();
    }
    link.Stall();
    return Outcome::kReadFailed;
}

Outcome AfterFailedWrite(unsigned long *status, Link &link, FT_STATUS wrote, Frame &response,
                         bool read_after_failed_write)
{
    // Part of the frame may have gone out, and a reply may come for it.
    link.MarkOutOfStep();
    if (wrote == FT_OK) {  // short: the line does not take the frame
        Record(status, FT_IO_ERROR);
        link.Stall();
        return Outcome::kWriteFailed;
    }
    Record(status, wrote);
    if (read_after_failed_write) {
        DWORD received = 0;
        const FT_STATUS read = FT_Read(link.handle(), response.data(), kFrameSize, &received);
        if (read != FT_OK || received < kFrameSize) {
            AfterFailedRead(status, link, read, received);
        }
    }
    return Outcome::kWriteFailed;
}

Outcome AfterForeignReply(unsigned long *status, Link &link)
{
    Record(status, FT_IO_ERROR);
    link.MarkOutOfStep();
    link.Stall();
    return Outcome::kReadFailed;
}

Outcome ExchangeOutOfStep(unsigned long *status, Link &link, const Frame &command, Frame &response,
                          bool read_after_failed_write)
{
    if (link.stalled()) {
        return Outcome::kNotMade;
    }
    const LinkStep step = link.step();
    const bool ready = step == LinkStep::kOwed        ? DrainOwed(status, link)
                       : step == LinkStep::kOutOfStep ? ResyncLink(status, link)
                                                      : true;
    if (!ready) {
        return link.stalled() ? Outcome::kNotMade : Outcome::kWriteFailed;
    }
    const bool check = Checked(link.step());
    Frame out = command;  // FT_Write takes a non-const buffer
    const Outcome outcome = WriteAndRead(status, link, out, response, read_after_failed_write);
    if (outcome == Outcome::kOk && check && !ConfirmInStep(status, link)) {
        return Outcome::kReadFailed;
    }
    return outcome;
}

bool DrainOwed(unsigned long *status, Link &link)
{
    LinkBooks &books = link.books();
    const std::uint8_t owed = books.owed.load(std::memory_order_relaxed);
    std::array<std::uint8_t, kFrameSize> rest{};
    DWORD received = 0;
    const FT_STATUS read = FT_Read(link.handle(), rest.data(), owed, &received);
    if (!Succeeded(status, read)) {
        link.MarkOutOfStep();
        return false;
    }
    if (received >= owed) {
        books.owed.store(0, std::memory_order_relaxed);
        books.empty_drains.store(0, std::memory_order_relaxed);
        link.set_step(LinkStep::kInStep);
        return true;
    }
    Record(status, FT_IO_ERROR);
    if (received > 0) {
        books.owed.store(static_cast<std::uint8_t>(owed - received), std::memory_order_relaxed);
        books.empty_drains.store(0, std::memory_order_relaxed);
    } else if (books.empty_drains.fetch_add(1, std::memory_order_relaxed) + 1 >= kWriteOffDrains) {
        link.MarkOutOfStep();  // the reply is lost: purge next time, and check
    }
    link.Stall();
    return false;
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
    link.books().owed.store(0, std::memory_order_relaxed);
    link.books().empty_drains.store(0, std::memory_order_relaxed);
    link.set_step(link.echoes() ? LinkStep::kInStep : LinkStep::kConfirmTwice);
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
        link.MarkOutOfStep();
        link.Stall();
        return false;
    }
    link.set_step(link.step() == LinkStep::kConfirmTwice ? LinkStep::kConfirm : LinkStep::kInStep);
    return true;
}

}  // namespace vontrel
