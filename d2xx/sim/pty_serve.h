// vontrel-sim serve --pty: the simulated bench's converters on
// pseudo-terminals, for programs that reach units through a real tty.
#ifndef VONTREL_D2XX_SIM_PTY_SERVE_H
#define VONTREL_D2XX_SIM_PTY_SERVE_H

namespace vsim {

// Runs `serve` with its arguments (those after the word "serve") in the
// foreground until SIGTERM or SIGINT; returns the exit status.
int Serve(int argc, char **argv);

}  // namespace vsim

#endif
