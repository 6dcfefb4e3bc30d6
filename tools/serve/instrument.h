// The SCPI instrument one connection sees: the command tree, the status
// registers, the error queue and the list sweep, over the unit's owner.
// Each connection has its own Instrument; they share only the unit.
#ifndef VONTREL_TOOLS_SERVE_INSTRUMENT_H
#define VONTREL_TOOLS_SERVE_INSTRUMENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/serve/list_sweep.h"
#include "tools/serve/scpi_parser.h"
#include "tools/serve/status_registers.h"
#include "tools/serve/unit_owner.h"

namespace vontrel::serve {

// The most program units one line may hold. A line runs as one under the
// unit's lock, so this bounds how long one client keeps the others waiting:
// at the link's speed a command takes up to 40 exchanges of 16 ms.
inline constexpr std::size_t kMaxUnitsPerLine = 16;

// Questionable status bit for "frequency not locked" (SCPI's frequency bit).
inline constexpr int kQuesUnlocked = 1 << 5;

// How long a list sweep dwells on a point unless told otherwise, and the
// longest dwell it takes, in seconds.
inline constexpr double kDefaultDwellS = 0.01;
inline constexpr double kMaxDwellS = 3600.0;

class Instrument {
public:
    // Tells a waiting *WAI or *OPC? that its client has gone.
    using Interrupted = std::function<bool()>;

    // `who` names the connection in log lines. When `stopping` becomes
    // true, a line ends after the command it is running and waits end.
    Instrument(UnitOwner &owner, ConnectionId id, std::string who, Log log,
               const std::atomic<bool> &stopping);
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Runs one line (without its terminator) and returns the response:
    // every query's answer, separated by ';' and ended with LF, or "" when
    // no query answered.
    std::string Execute(std::string_view line, const Interrupted &interrupted);

    // Queues an error found outside a line, such as an input overrun.
    void Report(int code, const std::string &detail) { status_.Push(code, detail); }

    struct Call;
    struct Command;

private:
    friend struct Commands;

    static const Command &Resolve(const scpi::ProgramUnit &unit, std::vector<std::string> &path);
    void WaitForSweep(Call &call);
    void StopOwnSweep(Call &call);
    void StartSweep(Call &call);
    int SampleQuestionable(Call &call);
    std::uint8_t StatusByte();

    UnitOwner &owner_;
    const ConnectionId id_;
    const std::atomic<bool> &stopping_;
    StatusRegisters status_;
    std::uint8_t ese_ = 0;
    std::uint8_t sre_ = 0;
    int ques_enable_ = 0;
    int ques_event_ = 0;
    int ques_condition_ = 0;
    SweepPlan lists_;
    ListSweep sweep_;  // last: stopped before the rest goes
};

}  // namespace vontrel::serve

#endif
