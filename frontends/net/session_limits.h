// SPDX-License-Identifier: MIT
// What every client session of the server is promised, whatever its front
// end: how long a line may be, how many clients a unit takes, how long an
// answer may wait for a client that does not read, and when an idle
// session is closed.
#ifndef VONTREL_FRONTENDS_NET_SESSION_LIMITS_H
#define VONTREL_FRONTENDS_NET_SESSION_LIMITS_H

#include <chrono>
#include <cstddef>

namespace vontrel::net {

// The longest line taken, without its LF; a longer one is dropped with -363.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;

// Clients served at once on one unit's port; further ones are closed.
inline constexpr std::size_t kMaxConnectionsPerUnit = 32;

// How long an answer may take to leave, whole, for a client that does not
// read; and the most answer bytes waiting for one.
inline constexpr auto kAnswerDeadline = std::chrono::seconds(10);
inline constexpr std::size_t kMaxOutputBytes = std::size_t{4} * 1024 * 1024;

// A connection that sends nothing this long, with no sweep or wait of its
// own running, is closed (0: never).
inline constexpr int kDefaultIdleTimeoutS = 600;

}  // namespace vontrel::net

#endif
