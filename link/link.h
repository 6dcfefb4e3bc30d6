// SPDX-License-Identifier: MIT
// The link to one unit as the exports see it during a call: the converter's
// handle, the unit's books (what it still owes, whether the link is in
// step, whether its replies echo their commands), and whether this call has
// met a unit that does not answer.
//
// In step means that the next reply the converter delivers is the answer
// to the next command frame written. The link keeps books to know it, not
// guess it: every frame the unit took owes exactly 8 reply bytes. A reply
// that comes short by its time-out leaves a debt of the bytes that did not
// come (LinkStep::kOwed), and the next exchange first reads exactly those
// (DrainOwed): once they are in, the books balance and the link is in step,
// however late they were and however the unit stalls after. Nothing is
// thrown away that the books account for.
//
// Only when the books cannot be balanced is the converter purged
// (LinkStep::kOutOfStep, ResyncLink): a read or write that failed with an
// error (bytes may have been lost, or a frame half sent), a write that came
// short, a reply that belongs to another command, a debt that brought
// nothing for kWriteOffDrains read time-outs in a row. After a purge a
// reply owed before it may still come, so the link is suspect until
// replies prove it in step:
//   - a unit whose replies echo their commands (learned at open from the
//     serial-number reads, never assumed) has every reply checked, always:
//     a reply that carries another command's code or address is refused
//     (FT_IO_ERROR) instead of being taken;
//   - a unit that does not echo has the two replies after the purge
//     checked to have nothing behind them within kQuietMs (kConfirmTwice,
//     kConfirm), the best that timing can tell.
#ifndef VONTREL_LINK_LINK_H
#define VONTREL_LINK_LINK_H

#include <atomic>
#include <cstdint>

#include "d2xx/ftd2xx.h"
#include "protocol/unit_protocol.h"

namespace vontrel {

enum class LinkStep : std::uint8_t {
    kInStep,        // the books balance: the next reply answers the next frame
    kOwed,          // the unit owes LinkBooks::owed bytes of a reply: read them first
    kOutOfStep,     // the books cannot be balanced: purge before the next exchange
    kConfirm,       // after a purge, a unit that does not echo: one more reply checked
    kConfirmTwice,  // just purged, a unit that does not echo: the next two replies checked
};

// How long the line must stay quiet before the link counts as back in
// step, and how long it may take at most. A reply frame takes 4.16 ms on
// the wire at 19230 baud, and the converter hands a short reply over at
// the next tick of its latency timer, 16 ms by default: 50 ms of silence
// is more than twice the time any reply already on its way needs to come
// through. A line that does not fall quiet within the read time-out is
// taken as a unit that does not answer.
inline constexpr unsigned long kQuietMs = 50;
inline constexpr unsigned long kDrainLimitMs = 2000;

// A debt that brings not a byte for this many read time-outs in a row
// (after the one that left it) is written off: the reply was lost, and the
// link is purged and suspect instead of failing for ever.
inline constexpr std::uint8_t kWriteOffDrains = 2;

// A unit's books, kept in the table of open units from one call to the
// next (a unit being opened keeps its own for the walk). Calls on one unit
// do not overlap; the fields are atomic only because successive calls may
// come from different threads.
struct LinkBooks {
    std::atomic<LinkStep> step{LinkStep::kInStep};
    std::atomic<std::uint8_t> owed{0};          // reply bytes owed while kOwed, 1..8
    std::atomic<std::uint8_t> empty_drains{0};  // drains in a row that brought nothing
    std::atomic<bool> echoes{false};            // replies carry their command back

    // A unit just opened: in step, its echo as learned.
    void Reset(bool unit_echoes) noexcept
    {
        step.store(LinkStep::kInStep, std::memory_order_relaxed);
        owed.store(0, std::memory_order_relaxed);
        empty_drains.store(0, std::memory_order_relaxed);
        echoes.store(unit_echoes, std::memory_order_relaxed);
    }
};

class Link {
public:
    Link(FT_HANDLE handle, LinkBooks &books) noexcept
        : handle_(handle),
          books_(books),
          fast_(books.step.load(std::memory_order_relaxed) == LinkStep::kInStep),
          echoes_(books.echoes.load(std::memory_order_relaxed))
    {
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    FT_HANDLE handle() const noexcept { return handle_; }

    // Whether this call met a reply that did not come whole: the unit has
    // stopped answering, and the call makes no further exchange (each would
    // wait its own time-out for nothing).
    bool stalled() const noexcept { return stalled_; }

    // Whether the next exchange is a plain one: the link is in step and
    // this call has not stalled. One test on the common path.
    bool fast() const noexcept { return fast_; }

    // Whether the unit's replies are checked to carry their commands back.
    bool echoes() const noexcept { return echoes_; }

    LinkStep step() const noexcept { return books_.step.load(std::memory_order_relaxed); }
    void set_step(LinkStep step) noexcept
    {
        books_.step.store(step, std::memory_order_relaxed);
        fast_ = step == LinkStep::kInStep && !stalled_;
    }
    LinkBooks &books() noexcept { return books_; }

    // The books cannot be balanced: the next exchange purges first.
    void MarkOutOfStep() noexcept { set_step(LinkStep::kOutOfStep); }

    // The unit owes `bytes` more reply bytes (1..8), on books that balanced
    // before the frame went out.
    void Owe(std::uint32_t bytes) noexcept
    {
        books_.owed.store(static_cast<std::uint8_t>(bytes), std::memory_order_relaxed);
        books_.empty_drains.store(0, std::memory_order_relaxed);
        set_step(LinkStep::kOwed);
    }

    // The unit does not answer in time: this call stops.
    void Stall() noexcept
    {
        stalled_ = true;
        fast_ = false;
    }

private:
    FT_HANDLE handle_;
    LinkBooks &books_;
    bool fast_;
    bool echoes_;
    bool stalled_ = false;
};

enum class Outcome {
    kOk,
    kWriteFailed,  // no frame went out whole (or the link could not be put back in step)
    kReadFailed,   // the frame went out; no whole reply came
    kNotMade,      // the call had already met a unit that does not answer: nothing was sent
};

// The exchange step's uncommon paths (see Exchange in link/transact.h),
// out of line so that the common one stays short.

// An exchange on a link that is not plainly in step: none at all after a
// stall; otherwise what is owed is read first (or the converter purged when
// the books cannot be balanced), and replies are checked after a purge.
[[gnu::cold]] Outcome ExchangeOutOfStep(unsigned long *status, Link &link, const Frame &command,
                                        Frame &response, bool read_after_failed_write);

// After FT_Write returned `wrote`, not 8 bytes out with FT_OK: records the
// failure (FT_IO_ERROR for a frame that did not go out whole) and, when
// `read_after_failed_write`, still reads the reply. The books cannot be
// balanced: whether the unit took a frame is not known.
[[gnu::cold]] Outcome AfterFailedWrite(unsigned long *status, Link &link, FT_STATUS wrote,
                                       Frame &response, bool read_after_failed_write);

// After FT_Read returned `read` with `received` bytes, not 8 with FT_OK.
// A short reply is FT_IO_ERROR and stops the call; the unit owes the rest
// (on books that balanced) or the books cannot be balanced (on a link
// just purged). A read that failed with an error loses count: out of step.
[[gnu::cold]] Outcome AfterFailedRead(unsigned long *status, Link &link, FT_STATUS read,
                                      DWORD received);

// A whole reply that does not carry its command back, on a unit that
// echoes: a reply owed to another command. FT_IO_ERROR; the call stops and
// the link is out of step.
[[gnu::cold]] Outcome AfterForeignReply(unsigned long *status, Link &link);

// Reads what the unit owes (LinkStep::kOwed) within the read time-out. True
// when the books balance again (in step); false when the bytes did not all
// come (FT_IO_ERROR, the call stalls, the rest is still owed, or written
// off after kWriteOffDrains empty drains) or the read failed (out of step).
[[gnu::cold]] bool DrainOwed(unsigned long *status, Link &link);

// Purges an out-of-step link before its next exchange: resets the
// converter (what it holds is discarded), sets the line up again with a
// read time-out of kQuietMs, reads and discards until kQuietMs pass with
// nothing coming, and sets the 2000 ms time-outs back. Every D2XX result is
// recorded into *status. True when the link may be used, now in step for
// a unit that echoes and LinkStep::kConfirmTwice for one that does not;
// false when a call failed (the link stays out of step) or the line did
// not fall quiet (FT_IO_ERROR, and the call stalls).
[[gnu::cold]] bool ResyncLink(unsigned long *status, Link &link);

// After a whole reply on a link being checked (a unit that does not echo,
// just purged or opened): waits kQuietMs for anything more. A byte there
// means the reply just read may be one that came late for an earlier
// command: FT_IO_ERROR, the call stops and the link is out of step. True
// when nothing came. Two replies in a row must pass: a late reply that
// comes alone, after the quiet time, with the next one late too, passes
// one check but not two.
[[gnu::cold]] bool ConfirmInStep(unsigned long *status, Link &link);

}  // namespace vontrel

#endif
