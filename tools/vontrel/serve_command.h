// SPDX-License-Identifier: MIT
// `vontrel serve`: each unit as an SCPI instrument on its own TCP port.
#ifndef VONTREL_TOOLS_VONTREL_SERVE_COMMAND_H
#define VONTREL_TOOLS_VONTREL_SERVE_COMMAND_H

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "frontends/scpi/socket_server.h"
#include "tools/vontrel/commands.h"

namespace vontrel::serve {

struct Options {
    int port = 5025;                                 // the first unit's port; 0: free ports
    std::string listen = "127.0.0.1";                // the address to listen on
    bool quiet = false;                              // no log lines
    int idle_timeout_s = net::kDefaultIdleTimeoutS;  // close idle connections after it; 0: never
    std::vector<std::string> maps;                   // --map SERIAL=PORT
    bool vxi11 = true;                               // serve VXI-11 (TCPIP::HOST::instN::INSTR)
    bool mdns = true;                                // announce the units through avahi-daemon
    int http_port = -1;                              // the web front end's port; -1: none
    std::string http_token_file;                     // what changes over the web need
};

// Adds the serve subcommand and its options to the tool's command line.
CLI::App *AddCommand(CLI::App &app, Options &options);

// Opens the unit chosen by --unit (every unit without it), serves until
// SIGINT or SIGTERM and returns the exit status. Throws
// vontrel::tool::UsageError for an address that is not this machine's,
// vontrel::tool::DeviceError, std::system_error and std::runtime_error for
// units and ports it cannot have.
int Run(const tool::Globals &globals, const Options &options);

}  // namespace vontrel::serve

#endif
