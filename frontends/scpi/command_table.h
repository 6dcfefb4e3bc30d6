// SPDX-License-Identifier: MIT
// The command table of the SCPI instrument: for each header, as it is
// documented, the handler of its setting form and of its query form. The
// handlers reach the Instrument they run on through a Call.
#ifndef VONTREL_FRONTENDS_SCPI_COMMAND_TABLE_H
#define VONTREL_FRONTENDS_SCPI_COMMAND_TABLE_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "frontends/scpi/instrument.h"
#include "frontends/scpi/scpi_error.h"
#include "service/level_policy.h"

namespace vontrel::serve {

// The header as the client wrote it, for messages: SOUR:FREQ?
std::string HeaderText(const scpi::ProgramUnit &unit);

// The unit's lock for one line, taken when a command first needs the unit
// and held to the end of the line, so that the line runs as one.
class LineUnit {
public:
    explicit LineUnit(service::UnitOwner &owner) : owner_(owner) {}
    service::UnitOwner::Access &Get()
    {
        if (!access_) {
            access_.emplace(owner_);
        }
        return *access_;
    }
    void Release() { access_.reset(); }

private:
    service::UnitOwner &owner_;
    std::optional<service::UnitOwner::Access> access_;
};

// One program unit being run.
struct Instrument::Call {
    Instrument &in;
    const scpi::ProgramUnit &unit;
    LineUnit &line;
    const Interrupted &interrupted;
    std::string response;

    const scpi::Parameter &Param(std::size_t i) const { return unit.parameters[i]; }
    std::size_t Count() const { return unit.parameters.size(); }

    void Args(std::size_t min, std::size_t max) const
    {
        if (Count() < min) {
            throw scpi::Error(scpi::kMissingParameter, HeaderText(unit) + " needs a parameter");
        }
        if (Count() > max) {
            throw scpi::Error(scpi::kParameterNotAllowed,
                              fmt::format("{} takes at most {} parameters", HeaderText(unit), max));
        }
    }

    template <typename F>
    decltype(auto) OnUnit(F &&f)
    {
        return line.Get().Call(std::forward<F>(f));
    }

    vontrel::Status Read()
    {
        return OnUnit([](vontrel::Unit &u) { return u.status(); });
    }

    // Refuses to change the unit while a list sweep runs on it.
    service::UnitOwner::Access &Changing()
    {
        service::UnitOwner::Access &access = line.Get();
        if (access.sweeper() != service::kNoSweep) {
            throw scpi::Error(scpi::kSettingsConflict,
                              access.sweeper() == in.id_
                                  ? "this connection's list sweep is running; ABORt stops it"
                                  : "another connection's list sweep is running on this unit");
        }
        access.MarkChanged();
        return access;
    }

    // Read, edit, program: the settings read back with `edit` applied,
    // under the level policy.
    void Change(const std::function<void(vontrel::Settings &, const vontrel::Status &)> &edit)
    {
        Changing().Call([&](vontrel::Unit &u) {
            const vontrel::Status before = u.status();
            vontrel::Settings wanted = static_cast<const vontrel::Settings &>(before);
            edit(wanted, before);
            service::ApplyWithLevelPolicy(u, before, wanted);
        });
    }
};

struct Instrument::Command {
    scpi::HeaderPattern header;
    std::function<void(Call &)> set;
    std::function<void(Call &)> query;
    // Its setting form changes the unit: refused while another session
    // holds the unit's lock.
    bool changes_unit = false;
};

// The table, in the order its headers are tried.
const std::vector<Instrument::Command> &CommandTable();

}  // namespace vontrel::serve

#endif
