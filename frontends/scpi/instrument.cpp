// SPDX-License-Identifier: MIT
// The instrument core: running a line of commands from the table,
// waiting for and starting the list sweep, and the status registers.
#include "frontends/scpi/instrument.h"

#include <fmt/format.h>

#include "frontends/scpi/command_table.h"
#include "frontends/scpi/scpi_values.h"

namespace vontrel::serve {
namespace {

using scpi::Error;

// Thrown when a wait for the list sweep is given up: the connection is
// closing.
struct Interruption {};

// Thrown when a wait for the list sweep gives way to a new line from its
// client: the line ends there and answers nothing.
struct QueryInterrupted {
    std::string header;
};

constexpr auto kWaitPoll = std::chrono::milliseconds(100);

}  // namespace

Instrument::Instrument(service::UnitOwner &owner, service::ConnectionId id, std::string who,
                       service::Log log, const std::atomic<bool> &stopping)
    : owner_(owner),
      id_(id),
      who_(who),
      stopping_(stopping),
      status_(std::move(who), std::move(log))
{
}

Instrument::~Instrument()
{
    sweep_.Abort();
    owner_.session_lock().Unlock(id_);  // a session that ends lets its lock go
}

bool Instrument::WouldChange(std::string_view line)
{
    std::vector<std::string> path;
    for (const scpi::ProgramUnit &unit : scpi::ParseLine(line).units) {
        try {
            if (!unit.query && Resolve(unit, path).changes_unit) {
                return true;
            }
        } catch (const Error &) {
            // Refused when it runs, whoever holds the lock.
        }
    }
    return false;
}

bool Instrument::Trigger()
{
    return sweep_.Trigger();
}

const Instrument::Command &Instrument::Resolve(const scpi::ProgramUnit &unit,
                                               std::vector<std::string> &path)
{
    const auto find = [&](const std::vector<std::string> &nodes) -> const Command * {
        for (const Command &command : CommandTable()) {
            if (command.header.common() == unit.common && command.header.Matches(nodes)) {
                return &command;
            }
        }
        return nullptr;
    };
    // After a ';', a header that does not start with ':' continues from
    // the previous command's path; it may also name a command from the root.
    const Command *found = nullptr;
    std::vector<std::string> nodes = scpi::WithoutSuffixes(unit.nodes);
    if (!unit.common && !unit.absolute && !path.empty()) {
        std::vector<std::string> relative = path;
        relative.insert(relative.end(), nodes.begin(), nodes.end());
        if ((found = find(relative)) != nullptr) {
            nodes = std::move(relative);
        }
    }
    if (found == nullptr && (found = find(nodes)) == nullptr) {
        throw Error(scpi::kUndefinedHeader, HeaderText(unit));
    }
    if (!unit.common) {
        nodes.pop_back();
        path = std::move(nodes);
    }
    return *found;
}

std::string Instrument::Execute(std::string_view line, const Interrupted &interrupted)
{
    std::string response = RunLine(line, interrupted);
    status_.FlushLog();  // the unit has been let go
    return response;
}

std::string Instrument::RunLine(std::string_view line, const Interrupted &interrupted)
{
    const scpi::ParsedLine parsed = scpi::ParseLine(line);
    if (parsed.units.size() > kMaxUnitsPerLine) {
        status_.Push(scpi::kTooMuchData,
                     fmt::format("a line holds at most {} commands, this one {}; none was run",
                                 kMaxUnitsPerLine, parsed.units.size()));
        return "";
    }
    LineUnit unit_lock(owner_);
    std::vector<std::string> path;
    std::string response;
    bool answered = false;
    // A line that does not answer every query it holds answers nothing:
    // the client would otherwise take one query's answer for another's.
    // Once a query has failed, the queries after it do not run: their
    // answers would be thrown away, and with them what they did (an error
    // taken off the queue, the lock taken).
    bool whole = true;
    for (const scpi::ProgramUnit &unit : parsed.units) {
        if (stopping_) {
            return "";
        }
        if (!whole && unit.query) {
            continue;
        }
        Call call{*this, unit, unit_lock, interrupted, {}};
        try {
            const Command &command = Resolve(unit, path);
            const auto &handler = unit.query ? command.query : command.set;
            if (!handler) {
                throw Error(
                    scpi::kUndefinedHeader,
                    HeaderText(unit) + (unit.query ? " has no query form" : " is a query only"));
            }
            if (!unit.query && command.changes_unit && !owner_.session_lock().MayChange(id_)) {
                throw Error(scpi::kCommandProtected,
                            fmt::format("{}: unit {} is locked by {}", HeaderText(unit),
                                        owner_.serial(), owner_.session_lock().Holder()));
            }
            handler(call);
            if (unit.query) {
                response += (answered ? ";" : "") + call.response;
                answered = true;
            }
            continue;
        } catch (const Error &e) {
            status_.Push(e.code(), e.detail());  // the line was parsed whole: go on
        } catch (const service::Refusal &e) {
            status_.Push(scpi::CodeFor(e.reason()), e.what());
        } catch (const std::system_error &e) {
            status_.Push(scpi::kHardwareError,
                         fmt::format("unit {}: {}", owner_.serial(), e.what()));
        } catch (const Interruption &) {
            return "";
        } catch (const QueryInterrupted &e) {
            status_.Push(scpi::kQueryInterrupted,
                         fmt::format("{} gave way to the next line sent", e.header));
            return "";
        } catch (const std::exception &e) {
            status_.Push(scpi::kExecutionError, e.what());
        }
        whole = whole && !unit.query;
    }
    if (parsed.error) {
        status_.Push(parsed.error->code(), parsed.error->detail());
        whole = false;  // the queries after the error were never run
    }
    return answered && whole ? response + "\n" : "";
}

void Instrument::WaitForSweep(Call &call)
{
    call.line.Release();  // the sweep needs the unit to get on
    while (!sweep_.WaitFor(kWaitPoll)) {
        if (stopping_) {
            throw Interruption{};
        }
        switch (call.interrupted ? call.interrupted() : Waiting::kGoOn) {
            case Waiting::kGoOn:
                break;
            case Waiting::kNewLine:
                throw QueryInterrupted{HeaderText(call.unit)};
            case Waiting::kGone:
                throw Interruption{};
        }
    }
}

void Instrument::StopOwnSweep(Call &call)
{
    call.line.Release();  // the sweep may be waiting for the unit
    sweep_.Abort();
}

namespace {

// The plan INITiate runs: the step sweep's points, or the lists, which
// must fit together.
service::SweepPlan PlanOf(const SweepSetup &setup)
{
    if (setup.mode == FrequencyMode::kSweep) {
        const StepSweep &step = setup.step;
        service::SweepPlan plan{{}, {}, {step.dwell_s}, setup.bus_trigger, {}, {}};
        plan.frequencies_mhz.reserve(static_cast<std::size_t>(step.points));
        for (int i = 0; i < step.points; ++i) {
            plan.frequencies_mhz.push_back(step.points == 1
                                               ? step.start_mhz
                                               : step.start_mhz + (step.stop_mhz - step.start_mhz) *
                                                                      i / (step.points - 1));
        }
        return plan;
    }
    const service::SweepPlan &lists = setup.lists;
    const std::size_t points = lists.frequencies_mhz.size();
    if (points == 0) {
        throw Error(scpi::kSettingsConflict, "LIST:FREQuency holds no point");
    }
    const auto fits = [&](std::size_t n) { return n == 1 || n == points; };
    if (!lists.levels.empty() && !fits(lists.levels.size())) {
        throw Error(scpi::kSettingsConflict,
                    fmt::format("LIST:POWer has {} points, LIST:FREQuency {}", lists.levels.size(),
                                points));
    }
    if (!fits(lists.dwells_s.size())) {
        throw Error(scpi::kSettingsConflict,
                    fmt::format("LIST:DWELl has {} points, LIST:FREQuency {}",
                                lists.dwells_s.size(), points));
    }
    service::SweepPlan plan = lists;
    plan.bus_trigger = setup.bus_trigger;
    return plan;
}

}  // namespace

void Instrument::StartSweep(Call &call)
{
    service::SweepPlan plan = PlanOf(setup_);
    plan.on_point = observer_;
    plan.on_end = ended_;
    if (sweep_.Running()) {
        throw Error(scpi::kInitIgnored, "this connection's sweep is still running");
    }
    service::UnitOwner::Access &access = call.line.Get();
    if (access.sweeper() != service::kNoSweep) {
        throw Error(scpi::kInitIgnored, "another connection's sweep is running on this unit");
    }
    access.set_sweeper(id_);
    status_.OperationStarted();
    oper_event_ |= kOperSweeping;
    try {
        sweep_.Start(
            owner_, id_, std::move(plan), setup_.continuous,
            [this](service::Reason reason, const std::string &detail) {
                Report(scpi::CodeFor(reason), detail);
            },
            [this] { status_.OperationComplete(); });
    } catch (...) {
        access.set_sweeper(service::kNoSweep);
        status_.OperationComplete();
        throw;
    }
}

int Instrument::SampleQuestionable(Call &call)
{
    const bool locked = call.OnUnit([](vontrel::Unit &u) { return u.locked(); });
    const int condition = locked ? 0 : kQuesUnlocked;
    ques_event_ |= condition & ~ques_condition_;
    ques_condition_ = condition;
    return condition;
}

int Instrument::SampleOperation()
{
    const int condition = (sweep_.Running() ? kOperSweeping : 0) |
                          (sweep_.WaitingForTrigger() ? kOperWaitingForTrigger : 0);
    oper_event_ |= condition & ~oper_condition_;
    oper_condition_ = condition;
    return condition;
}

std::uint8_t Instrument::StatusByte()
{
    std::uint8_t stb = 0;
    if (status_.Count() > 0) {
        stb |= kStbErrorQueue;
    }
    if ((ques_event_ & ques_enable_) != 0) {
        stb |= kStbQuestionable;
    }
    if ((status_.Esr() & ese_) != 0) {
        stb |= kStbEventStatus;
    }
    SampleOperation();
    if ((oper_event_ & oper_enable_) != 0) {
        stb |= kStbOperation;
    }
    if ((stb & sre_) != 0) {
        stb |= kStbRequestService;
    }
    return stb;
}

}  // namespace vontrel::serve
