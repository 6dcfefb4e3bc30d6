// SPDX-License-Identifier: MIT
// The instrument core: running a line of commands from the table,
// waiting for and starting the list sweep, and the status registers.
#include "frontends/scpi/instrument.h"

#include <fmt/format.h>

#include <cmath>

#include "frontends/scpi/command_table.h"
#include "frontends/scpi/scpi_values.h"
#include "service/unit_change.h"

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

// An error's text naming the command it concerns, so that a client whose
// line answered nothing learns which of its commands failed: "POW: ...".
std::string Named(const scpi::ProgramUnit &unit, const std::string &detail)
{
    const std::string header = HeaderText(unit);
    return detail.rfind(header, 0) == 0 ? detail : header + ": " + detail;
}

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

bool Instrument::ChangesUnit(std::string_view line)
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

void Instrument::Report(Notice notice, const std::string &detail)
{
    switch (notice) {
        case Notice::kInputOverrun:
            Report(scpi::kInputBufferOverrun, detail);
            return;
        case Notice::kAnswersDropped:
            Report(scpi::kQueryInterrupted, detail);
            return;
        case Notice::kTriggerIgnored:
            Report(scpi::kTriggerIgnored, detail);
            return;
    }
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
    scpi::PlainHeader plain = scpi::SplitSuffixes(unit.nodes);
    std::vector<std::string> nodes = std::move(plain.nodes);
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
    if (!plain.out_of_range.empty()) {
        throw Error(scpi::kHeaderSuffixOutOfRange,
                    fmt::format("{}: {} is not there: {}", HeaderText(unit), plain.out_of_range,
                                plain.allowed));
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
            if (!unit.query && command.changes_unit) {
                try {
                    service::CheckUnlocked(owner_, id_);
                } catch (const service::Refusal &e) {
                    throw Error(scpi::CodeFor(e.reason()), HeaderText(unit) + ": " + e.what());
                }
            }
            handler(call);
            if (unit.query) {
                response += (answered ? ";" : "") + call.response;
                answered = true;
            }
            continue;
        } catch (const Error &e) {
            status_.Push(e.code(), Named(unit, e.detail()));  // the line was parsed whole: go on
        } catch (const service::Refusal &e) {
            status_.Push(scpi::CodeFor(e.reason()), Named(unit, e.what()));
        } catch (const std::system_error &e) {
            status_.Push(scpi::kHardwareError,
                         Named(unit, fmt::format("unit {}: {}", owner_.serial(), e.what())));
        } catch (const Interruption &) {
            return "";
        } catch (const QueryInterrupted &e) {
            status_.Push(scpi::kQueryInterrupted,
                         fmt::format("{} gave way to the next message sent", e.header));
            return "";
        } catch (const std::exception &e) {
            status_.Push(scpi::kExecutionError, Named(unit, e.what()));
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
            case Waiting::kNewMessage:
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

// `points` values from `start` to `stop`, evenly spaced.
std::vector<double> Steps(double start, double stop, int points)
{
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(points));
    for (int i = 0; i < points; ++i) {
        out.push_back(points == 1 ? start : start + (stop - start) * i / (points - 1));
    }
    return out;
}

// The plan INITiate runs: the step sweep's points (of frequency, of level,
// or both), or the lists, which must fit together.
service::SweepPlan PlanOf(const SweepSetup &setup)
{
    const bool levels = setup.power_mode == PowerMode::kSweep;
    if (setup.mode == FrequencyMode::kSweep || levels) {
        if (setup.mode == FrequencyMode::kList) {
            throw Error(scpi::kSettingsConflict,
                        "POWer:MODE SWEep sweeps the level at a fixed frequency (FREQuency:MODE "
                        "CW) or with the step sweep (FREQuency:MODE SWEep), not with the lists");
        }
        const StepSweep &step = setup.step;
        service::SweepPlan plan{{}, {}, {step.dwell_s}, setup.bus_trigger, setup.retrace, {},
                                {}, {}};
        if (setup.mode == FrequencyMode::kSweep) {
            plan.frequencies_mhz = Steps(step.start_mhz, step.stop_mhz, step.points);
        }
        if (levels) {
            // Each on the attenuator's grid, the nearest step.
            for (const double level : Steps(step.start_level, step.stop_level, step.points)) {
                plan.levels.push_back(std::round(level / VONTREL_LEVEL_STEP) * VONTREL_LEVEL_STEP);
            }
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
    plan.retrace = setup.retrace;
    return plan;
}

}  // namespace

void Instrument::StartSweep(Call &call)
{
    service::SweepPlan plan = PlanOf(setup_);
    plan.on_point = observer_;
    plan.on_end = ended_;
    plan.scale = service::LevelScale::Of(owner_.config());
    service::UnitOwner::Access &access = call.line.Get();
    try {
        service::CheckMayStartSweep(owner_, access, sweep_, id_);
    } catch (const service::Refusal &e) {
        // INITiate refused while a sweep runs: -213.
        throw Error(e.reason() == service::Reason::kLocked ? scpi::CodeFor(e.reason())
                                                            : scpi::kInitIgnored,
                    e.what());
    }
    status_.OperationStarted();
    oper_event_ |= kOperSweeping;
    try {
        service::StartSweep(
            owner_, access, sweep_, id_, std::move(plan), setup_.continuous,
            [this](service::Reason reason, const std::string &detail) {
                Report(scpi::CodeFor(reason), detail);
            },
            [this] { status_.OperationComplete(); });
    } catch (...) {
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
