// SPDX-License-Identifier: MIT
// What every client session of the server is promised, whatever its front
// end (session.h keeps it): how long a line may be, how many clients a unit
// and a server take, how much unread answer a client may leave, and when
// an idle session is closed. The caps together stay well inside the 1024
// descriptors (and the threads) a service gets by default, so that a flood
// on one front end leaves the others serving.
#ifndef VONTREL_FRONTENDS_NET_SESSION_LIMITS_H
#define VONTREL_FRONTENDS_NET_SESSION_LIMITS_H

#include <chrono>
#include <cstddef>

namespace vontrel::net {

// The longest line taken, without its LF; a longer one is dropped with -363.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;

// Sessions served at once on one unit, per front end (raw connections,
// VXI-11 links); further ones are refused.
inline constexpr std::size_t kMaxConnectionsPerUnit = 32;

// Connections one front end serves at once, whatever the unit: the raw
// ports together, the VXI-11 core and abort ports together, the web port.
inline constexpr std::size_t kMaxRawConnections = 128;
inline constexpr std::size_t kMaxVxi11Connections = 96;
inline constexpr std::size_t kMaxWebConnections = 128;
// Web connections from one client address.
inline constexpr std::size_t kMaxWebConnectionsPerAddress = 64;

// How long an answer may take to leave, whole, for a client that does not
// read; and the most answer bytes waiting for one: past that its session
// ends.
inline constexpr auto kAnswerDeadline = std::chrono::seconds(10);
inline constexpr std::size_t kMaxOutputBytes = std::size_t{4} * 1024 * 1024;

// A connection that sends nothing this long, with no sweep or wait of its
// own running, is closed, and any lock it holds let go (0: never).
inline constexpr int kDefaultIdleTimeoutS = 600;

// A VXI-11 connection that has made no link this long after it was taken
// is closed; so is the oldest such one when the server is full.
inline constexpr auto kLinklessTimeout = std::chrono::seconds(10);

}  // namespace vontrel::net

#endif
