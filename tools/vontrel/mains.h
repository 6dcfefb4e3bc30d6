// SPDX-License-Identifier: MIT
// vontrel mains: the mains switch from the shell. list, status, on, off and
// cycle an outlet, named by its number or by the unit the units file says
// it powers (--unit serial:N).
#ifndef VONTREL_TOOLS_VONTREL_MAINS_H
#define VONTREL_TOOLS_VONTREL_MAINS_H

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "tools/vontrel/commands.h"

namespace vontrel::tool {

struct MainsOptions {
    std::string outlet;         // "3", or "" for the one --unit names
    std::string switch_serial;  // --switch: "" for the one there is
    std::string description;    // --description: "" for $VONTREL_MAINS_DESCRIPTION or the default
    double off_s = 5.0;         // cycle --off-time
};

// Adds `mains` and its subcommands to the tool's command line; returns the
// subcommands by action name through the options' callbacks.
CLI::App *AddMainsCommand(CLI::App &app, MainsOptions &options);

// Runs the subcommand of `mains` the command line chose.
int Mains(const Globals &g, CLI::App &mains, const MainsOptions &options);

}  // namespace vontrel::tool

#endif
