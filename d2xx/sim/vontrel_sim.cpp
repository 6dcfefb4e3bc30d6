// SPDX-License-Identifier: MIT
// vontrel-sim: looks after the simulated bench's state between processes.
//
//   vontrel-sim reset   forget every unit's state: the next program starts
//                       from the configuration (VONTREL_SIM_CONFIG or the
//                       default bench) at power-up
//   vontrel-sim path    print the state file in use
//   vontrel-sim show    one line per converter: a unit's description,
//                       serial, register 0, lock and power; a mains
//                       switch's outlets; another converter's description
//   vontrel-sim serve --pty [--latency-ms MS]
//                       serve the bench's converters on pseudo-terminals
//                       (pty_serve.cpp)
//   vontrel-sim run [--] PROGRAM [ARGUMENTS...]
//                       run a program on the simulator: its folder first on
//                       LD_LIBRARY_PATH, where the loader looks before the
//                       run paths that lead programs to the real converters
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vontrel_version.h"
#include "d2xx/sim/pty_serve.h"
#include "d2xx/sim/vsim.h"

namespace {

// The usage, on standard error with status 2 for a command line it does
// not take, on standard output with status 0 when asked for.
int Usage(bool asked = false)
{
    std::fprintf(asked ? stdout : stderr,
                 "usage: vontrel-sim reset | path | show | serve --pty [--latency-ms MS]\n"
                 "       vontrel-sim run [--] PROGRAM [ARGUMENTS...] | --version\n"
                 "  reset  delete the state file; units start again at power-up\n"
                 "  path   print the state file (VONTREL_SIM_STATE)\n"
                 "  show   list the converters and the units' state\n"
                 "  serve  serve the bench on pseudo-terminals until SIGTERM or SIGINT\n"
                 "  run    run PROGRAM on the simulated bench instead of real units\n"
                 "         (e.g. vontrel-sim run -- vontrel list)\n");
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
        char description[VSIM_DESCRIPTION_SIZE];
        vsim_description(id, description, sizeof description);
        if (vsim_is_unit(id) == 0) {
            // It never answers a frame: it has no serial, register or lock.
            std::printf("converter %d: \"%s\", not a unit\n", id, description);
            continue;
        }
        const unsigned serial = vsim_get_memory(id, 0) | (unsigned{vsim_get_memory(id, 1)} << 8);
        const int power = vsim_unit_power(id);
        std::printf("converter %d: \"%s\", serial %u, register 0 %08X, %s%s\n", id, description,
                    serial, static_cast<unsigned>(vsim_get_register(id, 0)),
                    vsim_locked(id) != 0 ? "locked" : "not locked",
                    power == VSIM_POWER_OFF       ? ", switched off at its outlet"
                    : power == VSIM_POWER_BOOTING ? ", booting"
                                                  : "");
    }
    return 0;
}

// The folder of the simulator library (libftd2xx.so) that belongs to this
// program, so that the programs it starts load it: installed, the private
// folder beside bin/ (VONTREL_SIM_RELATIVE_LIBDIR); in the build tree, this
// program's own folder. "" when neither holds it.
std::string SimulatorFolder()
{
    char exe[PATH_MAX];
    if (realpath("/proc/self/exe", exe) == nullptr) {
        return {};
    }
    const std::string own = std::string(exe).substr(0, std::string(exe).rfind('/'));
    for (const std::string &folder : {own + "/" VONTREL_SIM_RELATIVE_LIBDIR, own}) {
        char resolved[PATH_MAX];
        if (realpath((folder + "/libftd2xx.so").c_str(), resolved) != nullptr) {
            const std::string path = resolved;
            return path.substr(0, path.rfind('/'));
        }
    }
    return {};
}

// Replaces this process by PROGRAM with the simulator's folder first on
// LD_LIBRARY_PATH; returns only when that fails (126, or 127 when there is
// no such program, as a shell does).
int Run(int argc, char **argv)
{
    int first = 0;
    if (first < argc && std::strcmp(argv[first], "--") == 0) {
        ++first;
    }
    if (first >= argc) {
        return Usage();
    }
    const std::string folder = SimulatorFolder();
    if (folder.empty()) {
        std::fprintf(stderr, "vontrel-sim: the simulator library (libftd2xx.so) is not installed "
                             "beside this program\n");
        return 1;
    }
    std::string path = folder;
    if (const char *before = std::getenv("LD_LIBRARY_PATH"); before != nullptr && *before != '\0') {
        path += ':';
        path += before;
    }
    if (setenv("LD_LIBRARY_PATH", path.c_str(), 1) != 0) {
        std::fprintf(stderr, "vontrel-sim: cannot set LD_LIBRARY_PATH: %s\n", std::strerror(errno));
        return 1;
    }
    execvp(argv[first], argv + first);
    const int error = errno;
    std::fprintf(stderr, "vontrel-sim: cannot run %s: %s\n", argv[first], std::strerror(error));
    return error == ENOENT ? 127 : 126;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return vsim::Serve(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0) {
        return Run(argc - 2, argv + 2);
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vontrel-sim %s\n", VONTREL_VERSION_STRING);
        return Done(0);
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
