// SPDX-License-Identifier: MIT
// The command table of the SCPI instrument, group by group.
#include "frontends/scpi/command_table.h"

#include "frontends/scpi/commands.h"

namespace vontrel::serve {

std::string HeaderText(const scpi::ProgramUnit &unit)
{
    std::string text = unit.common ? "*" : "";
    for (std::size_t i = 0; i < unit.nodes.size(); ++i) {
        text += (i > 0 ? ":" : "") + unit.nodes[i];
    }
    return text + (unit.query ? "?" : "");
}

const std::vector<Instrument::Command> &CommandTable()
{
    static const std::vector<Instrument::Command> table = [] {
        std::vector<Instrument::Command> t;
        TableBuilder b{t};
        Commands::AddCommon(b);
        Commands::AddSystem(b);
        Commands::AddSource(b);
        Commands::AddOutput(b);
        Commands::AddVontrel(b);
        return t;
    }();
    return table;
}

}  // namespace vontrel::serve
