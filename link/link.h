// SPDX-License-Identifier: MIT
// The link to one unit as the exports see it during a call: the converter's
// handle, whether the link is in step, and whether this call has met a unit
// that does not answer.
//
// In step means that the next reply the converter delivers is the answer
// to the next command frame written. A reply that does not come whole (a
// read that ends at its time-out with fewer than 8 bytes, a write that
// ends with fewer than 8 bytes out) or a failed read or write leaves the
// link out of step: the missing reply, or the rest of it, may still arrive
// and would then be taken for the answer to a later command, and every
// reply after it with it. The next exchange on the unit, in this call or a
// later one, first puts the link back in step (ResyncLink) and then checks
// that nothing arrived behind its own reply (ConfirmInStep).
#ifndef VONTREL_LINK_LINK_H
#define VONTREL_LINK_LINK_H

#include <atomic>
#include <cstdint>

#include "d2xx/ftd2xx.h"
#include "protocol/unit_protocol.h"

namespace vontrel {

enum class LinkStep : std::uint8_t {
    kInStep,        // every reply so far came whole, in order
    kOutOfStep,     // a reply did not come whole: discard what comes before the next exchange
    kConfirm,       // the next reply is checked to have nothing behind it, then in step
    kConfirmTwice,  // just put back in step: the next two replies are checked
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

class Link {
public:
    // `step` is the unit's own, kept in the table of open units so that it
    // outlives the call; a unit being opened keeps it for the walk.
    Link(FT_HANDLE handle, std::atomic<LinkStep> &step) noexcept
        : handle_(handle),
          step_(step),
          fast_(step.load(std::memory_order_relaxed) == LinkStep::kInStep)
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

    LinkStep step() const noexcept { return step_.load(std::memory_order_relaxed); }
    void set_step(LinkStep step) noexcept
    {
        step_.store(step, std::memory_order_relaxed);
        fast_ = step == LinkStep::kInStep && !stalled_;
    }

    // A failed read or write: the next exchange puts the link back in step.
    void MarkOutOfStep() noexcept { set_step(LinkStep::kOutOfStep); }

    // A reply that did not come whole: out of step, and this call stops.
    void Stall() noexcept
    {
        stalled_ = true;
        MarkOutOfStep();
    }

private:
    FT_HANDLE handle_;
    std::atomic<LinkStep> &step_;
    bool fast_;
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
// stall; otherwise the link is put back in step first and checked after.
[[gnu::cold]] Outcome ExchangeOutOfStep(unsigned long *status, Link &link, const Frame &command,
                                        Frame &response, bool read_after_failed_write);

// After FT_Write returned `wrote`, not 8 bytes out with FT_OK: records the failure and, when
// `read_after_failed_write`, still reads the reply.
[[gnu::cold]] Outcome AfterFailedWrite(unsigned long *status, Link &link, FT_STATUS wrote,
                                       Frame &response, bool read_after_failed_write);

// After FT_Read returned `read`, not 8 bytes with FT_OK: records the
// failure (FT_IO_ERROR for a reply that did not come whole).
[[gnu::cold]] Outcome AfterFailedRead(unsigned long *status, Link &link, FT_STATUS read);

// Puts an out-of-step link back in step before its next exchange: resets
// the converter (what it holds is discarded), sets the line up again with
// a read time-out of kQuietMs, reads and discards until kQuietMs pass with
// nothing coming, and sets the 2000 ms time-outs back. Every D2XX result is
// recorded into *status. True when the link may be used, now in
// LinkStep::kConfirmTwice; false when a call failed (the link stays out of
// step) or the line did not fall quiet (FT_IO_ERROR, and the link stalls).
[[gnu::cold]] bool ResyncLink(unsigned long *status, Link &link);

// After a whole reply on a link being checked: waits kQuietMs for anything
// more. A byte there means the reply just read may be one that came late
// for an earlier command: FT_IO_ERROR, and the link stalls. True when
// nothing came. A link put back in step is trusted again only after two
// replies in a row had nothing behind them: a unit that stalled once may
// stall again, and a late reply that comes alone, after the quiet time,
// with the next one late too, passes one check but not two.
[[gnu::cold]] bool ConfirmInStep(unsigned long *status, Link &link);

}  // namespace vontrel

#endif
