// SPDX-License-Identifier: MIT
// vontrel-sim serve --pty: the simulated bench's converters on
// pseudo-terminals, for programs that reach units through a real tty.
#ifndef VONTREL_D2XX_SIM_PTY_SERVE_H
#define VONTREL_D2XX_SIM_PTY_SERVE_H

#include <cstddef>

namespace vsim {

// The converter's buffer toward the host, in bytes (64 replies): replies
// queued or handed over that the far side has not taken yet. A client that
// writes frames and never reads fills it; the unit's replies past it are
// lost, as on a converter without flow control whose buffer is full (they
// are traced with FT_INSUFFICIENT_RESOURCES). The line goes on taking and
// answering frames, each line's buffer is its own and the server never
// waits on a client, so the other units are served as before.
inline constexpr std::size_t kConverterBufferBytes = 512;

// Runs `serve` with its arguments (those after the word "serve") in the
// foreground until SIGTERM or SIGINT; returns the exit status.
int Serve(int argc, char **argv);

}  // namespace vsim

#endif
