// SPDX-License-Identifier: MIT
// vontrel-sim: looks after the simulated bench's state between processes.
//
//   vontrel-sim reset   forget every unit's state: the next program starts
//                       from the configuration (VONTREL_SIM_CONFIG or the
//                       default bench) at power-up
//   vontrel-sim path    print the state file in use
//   vontrel-sim show    one line per converter: serial, register 0, lock
//                       and power; a mains switch's outlets
//   vontrel-sim serve --pty [--latency-ms MS]
//                       serve the bench's converters on pseudo-terminals
//                       (pty_serve.cpp)
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "d2xx/sim/pty_serve.h"
#include "d2xx/sim/vsim.h"

namespace {

// The usage, on standard error with status 2 for a command line it does
// not take, on standard output with status 0 when asked for.
int Usage(bool asked = false)
{
    std::fprintf(asked ? stdout : stderr,
                 "usage: vontrel-sim reset | path | show | serve --pty [--latency-ms MS]\n"
                 "  reset  delete the state file; units start again at power-up\n"
                 "  path   print the state file (VONTREL_SIM_STATE)\n"
                 "  show   list the converters and the units' state\n"
                 "  serve  serve the bench on pseudo-terminals until SIGTERM or SIGINT\n");
    return asked ? 0 : 2;
}

// A command's exit status, once what it printed has reached its reader:
// output that could not be written fails the command.
int Done(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "vontrel-sim: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return status;
}

int Show()
{
    char why[1024];
    if (vsim_bench_error(why, sizeof why) != 0) {
        std::fprintf(stderr, "vontrel-sim: %s\n", why);
        return 1;
    }
    const int count = vsim_converter_count();
    for (int id = 0; id < count; ++id) {
        if (const int lines = vsim_mains_lines(id); lines >= 0) {
            std::printf("converter %d: mains switch, outlets", id);
            for (int outlet = 1; outlet <= 8; ++outlet) {
                std::printf(" %d %s", outlet, ((lines >> (outlet - 1)) & 1) != 0 ? "on" : "off");
            }
            std::printf(", bit-bang %s\n", vsim_mains_bitbang(id) == 1 ? "on" : "off");
            continue;
        }
        const unsigned serial = vsim_get_memory(id, 0) | (unsigned{vsim_get_memory(id, 1)} << 8);
        const int power = vsim_unit_power(id);
        std::printf("converter %d: serial %u, register 0 %08X, %s%s\n", id, serial,
                    static_cast<unsigned>(vsim_get_register(id, 0)),
                    vsim_locked(id) != 0 ? "locked" : "not locked",
                    power == VSIM_POWER_OFF       ? ", switched off at its outlet"
                    : power == VSIM_POWER_BOOTING ? ", booting"
                                                  : "");
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return vsim::Serve(argc - 2, argv + 2);
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        return Done(Usage(true));
    }
    if (argc != 2) {
        return Usage();
    }
    if (std::strcmp(argv[1], "reset") == 0) {
        vsim_reset_state();
        char why[1024];
        if (vsim_bench_error(why, sizeof why) == VSIM_BENCH_FILES) {
            std::fprintf(stderr, "vontrel-sim: %s\n", why);
            return 1;
        }
        std::printf("simulator state reset (%s)\n",
                    vsim_state_path()[0] != '\0' ? vsim_state_path() : "kept in memory");
        return Done(0);
    }
    if (std::strcmp(argv[1], "path") == 0) {
        std::printf("%s\n", vsim_state_path());
        return Done(0);
    }
    if (std::strcmp(argv[1], "show") == 0) {
        return Done(Show());
    }
    return Usage();
}
