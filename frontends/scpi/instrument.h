// SPDX-License-Identifier: MIT
// The SCPI instrument one connection sees: its status registers, error
// queue, sweep settings and sweep, over the unit's owner, running lines of
// commands from the command table (command_table.h). Each connection has
// its own Instrument; they share only the unit.
#ifndef VONTREL_FRONTENDS_SCPI_INSTRUMENT_H
#define VONTREL_FRONTENDS_SCPI_INSTRUMENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/scpi/scpi_parser.h"
#include "frontends/scpi/scpi_values.h"
#include "frontends/scpi/status_registers.h"
#include "include/vontrel_limits.h"
#include "service/list_sweep.h"
#include "service/unit_owner.h"

namespace vontrel::serve {

// The most program units one line may hold. A line runs as one under the
// unit's lock, so this bounds how long one client keeps the others waiting:
// at the link's speed a command takes up to 40 exchanges of 16 ms.
inline constexpr std::size_t kMaxUnitsPerLine = 16;

// What INITiate sweeps: the lists (FREQuency:MODE LIST, and CW or FIXed,
// which have nothing else to sweep) or the step sweep (SWEep).
enum class FrequencyMode { kFixed, kSweep, kList };

// The step sweep: points from start to stop, evenly spaced, each held for
// the dwell.
struct StepSweep {
    double start_mhz = VONTREL_FREQ_MIN_MHZ;
    double stop_mhz = VONTREL_FREQ_MAX_MHZ;
    int points = 101;
    double dwell_s = kDefaultDwellS;
};

// A connection's sweep settings; *RST brings back these defaults.
struct SweepSetup {
    service::SweepPlan lists{{}, {}, {kDefaultDwellS}, false, {}, {}};
    StepSweep step;
    FrequencyMode mode = FrequencyMode::kFixed;
    bool bus_trigger = false;  // TRIGger:SOURce BUS: each *TRG steps one point
    bool continuous = false;   // INITiate:CONTinuous
};

class Instrument {
public:
    // What a waiting *WAI or *OPC? learns from its connection: nothing
    // new, a new line has come (the wait ends with -410 and the line
    // answers nothing), or the connection is to close.
    enum class Waiting { kGoOn, kNewLine, kGone };
    using Interrupted = std::function<Waiting()>;

    // `who` names the connection in log lines. When `stopping` becomes
    // true, a line ends after the command it is running and waits end.
    Instrument(service::UnitOwner &owner, service::ConnectionId id, std::string who,
               service::Log log, const std::atomic<bool> &stopping);
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Runs one line (without its terminator) and returns the response:
    // every query's answer, separated by ';' and ended with LF, or "" when
    // no query answered.
    std::string Execute(std::string_view line, const Interrupted &interrupted);

    // Queues an error found outside a line, such as an input overrun.
    void Report(int code, const std::string &detail)
    {
        status_.Push(code, detail);
        status_.FlushLog();
    }

    // Whether this connection's list sweep is running.
    bool Sweeping() { return sweep_.Running(); }

    // Whether `line` holds a command that changes the unit, so that it
    // would be refused while another session holds the unit's lock.
    static bool WouldChange(std::string_view line);

    // The status byte now, and a trigger (*TRG) for this session's sweep.
    // Neither touches the unit, so a front end may call them while a line
    // of this Instrument waits in *OPC? or *WAI (from its Interrupted).
    std::uint8_t ReadStatusByte() { return StatusByte(); }
    bool Trigger();

    service::ConnectionId id() const { return id_; }
    const std::string &who() const { return who_; }

    // Hands each point of this connection's sweeps, from the next INITiate
    // on, to `observer`, and tells `ended` when each has ended (see
    // SweepPlan::on_point and on_end).
    void ObservePoints(decltype(service::SweepPlan::on_point) observer,
                       decltype(service::SweepPlan::on_end) ended)
    {
        observer_ = std::move(observer);
        ended_ = std::move(ended);
    }

    struct Call;
    struct Command;

private:
    friend struct Commands;

    std::string RunLine(std::string_view line, const Interrupted &interrupted);
    static const Command &Resolve(const scpi::ProgramUnit &unit, std::vector<std::string> &path);
    void WaitForSweep(Call &call);
    void StopOwnSweep(Call &call);
    void StartSweep(Call &call);
    int SampleQuestionable(Call &call);
    int SampleOperation();
    std::uint8_t StatusByte();

    service::UnitOwner &owner_;
    const service::ConnectionId id_;
    const std::string who_;
    const std::atomic<bool> &stopping_;
    StatusRegisters status_;
    std::uint8_t ese_ = 0;
    std::uint8_t sre_ = 0;
    int ques_enable_ = 0;
    int ques_event_ = 0;
    int ques_condition_ = 0;
    int oper_enable_ = 0;
    int oper_event_ = 0;
    int oper_condition_ = 0;
    SweepSetup setup_;
    decltype(service::SweepPlan::on_point) observer_;
    decltype(service::SweepPlan::on_end) ended_;
    service::ListSweep sweep_;  // last: stopped before the rest goes
};

}  // namespace vontrel::serve

#endif
