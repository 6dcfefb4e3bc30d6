// SPDX-License-Identifier: MIT
// The simulated bench behind the simulator's D2XX calls: converters, the
// units among them, open handles, armed faults and the call log. Everything
// is guarded by one mutex; Bench::Lock() hands it out.
#ifndef VONTREL_D2XX_SIM_BENCH_H
#define VONTREL_D2XX_SIM_BENCH_H

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "d2xx/sim/power_up.h"
#include "d2xx/sim/vsim.h"
#include "include/vontrel_mains.h"
#include "protocol/unit_protocol.h"

namespace vsim {

using Registers = std::array<std::uint32_t, 8>;
using Frame = std::array<std::uint8_t, 8>;

// The unit's line: 19230 baud, 8 data bits, one stop bit, no parity. At
// other settings it hears only noise and answers nothing.
inline constexpr ULONG kUnitBaud = vontrel::kBaudRate;

// The outlets of a mains switch, numbered 1 to kOutlets: outlet n is line
// n-1 of the switch's converter, on while the line is at 1.
inline constexpr int kOutlets = VONTREL_MAINS_OUTLETS;

// A mains switch: a converter whose eight data lines, in bit-bang mode,
// drive its outlets, each of which may power units.
struct MainsSwitch {
    std::uint8_t lines = 0xFF;  // the lines' levels now: the outlets' state
    bool bitbang = false;       // asynchronous bit-bang is on
    std::uint8_t outputs = 0;   // the lines FT_SetBitMode made outputs
    long line_changes = 0;      // times a line changed its level
    bool vanish = false;        // units unpowered leave the USB bus (else they fall silent)
    std::chrono::milliseconds boot{1000};  // from power back to a unit's first answer
    // The serial numbers of the units each outlet powers.
    std::array<std::vector<std::uint16_t>, kOutlets> powers;
};

struct Converter {
    std::string description;
    std::string serial_number;  // the converter's own serial string (not a unit's)
    bool is_unit = false;
    bool plugged = true;
    bool locks = true;  // false: a unit whose synthesizer never locks
    bool open = false;
    std::array<std::uint8_t, VSIM_MEMORY_SIZE> memory{};
    Registers registers = kPowerUpRegisters;
    std::optional<Registers> user_preset;
    bool programmed = false;           // a register write or preset since power-up
    std::optional<MainsSwitch> mains;  // set on a mains switch
    // A unit's power from the mains switches that feed it: off while an
    // outlet powering it is off; once on again, it answers from
    // answers_from_ms (wall-clock milliseconds, so that every process
    // agrees). A unit that vanishes while unpowered is not on the bus, and
    // handles opened before it vanished stay dead (generation).
    bool powered = true;
    bool vanishes = false;
    std::int64_t answers_from_ms = 0;
    std::uint32_t generation = 0;
    bool hung = false;  // answers nothing until its power is cycled
};

// Whether the converter is on the USB bus: plugged in, and not a unit that
// vanished with its power.
inline bool Present(const Converter &c)
{
    return c.plugged && (c.powered || !c.vanishes);
}

// Wall-clock milliseconds, the time base of a unit's boot.
std::int64_t NowMs();

// A reply byte on its way to the host: there to be read from `ready` on,
// once it has crossed the wire and the converter's latency timer has handed
// it over (at once without link timing), or later when the unit stalled.
struct InFlight {
    std::uint8_t byte = 0;
    std::chrono::steady_clock::time_point ready{};
};

struct Handle {
    int converter = -1;
    std::uint32_t generation = 0;  // the converter's when it was opened
    std::deque<InFlight> pending;  // reply bytes not yet read, in the order they come
    ULONG baud = 9600;
    UCHAR word_length = 8, stop_bits = 0, parity = 0;
    ULONG read_timeout_ms = 0, write_timeout_ms = 0;
    // The converter's lock file, held while the handle is open (persistent
    // bench only), or -1.
    int lock_fd = -1;
};

enum class FaultKind {
    kFailBefore,
    kFailAfter,
    kShortRead,
    kShortWrite,
    kReplaceResponse,
    kLateReply
};

struct Fault {
    FaultKind kind = FaultKind::kFailBefore;
    std::string function;  // empty: any D2XX call
    long remaining = 1;    // counts D2XX calls; a late reply counts the unit's replies
    FT_STATUS status = FT_OK;
    DWORD bytes = 0;
    Frame replacement{};
    std::chrono::milliseconds delay{0};  // kLateReply: how late the reply comes
};

// The longest a reply can be made to come late: far beyond any time-out.
inline constexpr long kMaxLateMs = 600'000;

// Handle values: kFirstHandle, then every kHandleStride; never null, never a
// small integer that a caller could mistake for a library token.
inline constexpr std::uintptr_t kFirstHandle = 0x7e5a0000;
inline constexpr std::uintptr_t kHandleStride = 16;

struct Bench {
    std::vector<Converter> converters;
    // Open handles by the value handed out. Values grow with every open and
    // are never handed out twice in a process, so a call on a closed handle
    // can be told from one on a handle that is open (or was never issued).
    std::unordered_map<std::uintptr_t, std::unique_ptr<Handle>> handles;
    std::uintptr_t next_handle = kFirstHandle;
    long closed_handle_calls = 0;  // calls that named a handle already closed
    std::vector<Fault> faults;
    std::deque<vsim_call> log;                     // the latest log_capacity calls
    std::size_t log_capacity = VSIM_LOG_CAPACITY;  // 0: every call
    long calls = 0;
    bool initialised = false;
    // The bench a process gets when nobody built one: loaded from the
    // configuration, its units' state kept in the state file between
    // processes. A bench built through vsim_clear/vsim_add_* never is.
    bool persistent = false;
    std::string state_path;
    std::string config_id;   // which configuration the state belongs to
    std::string state_text;  // the state file as last read or written
    // Why the configured bench is out of order (see vsim_bench_error), and
    // the kind of reason; empty while it works.
    std::string error;
    int error_kind = 0;
};

// The bench, with its lock held for the caller's scope.
class Locked {
public:
    Locked();
    Bench *operator->() { return &bench_; }
    Bench &operator*() { return bench_; }

private:
    static Bench bench_;
    static std::mutex mutex_;
    std::lock_guard<std::mutex> lock_;
};

// How late the unit's next reply comes: counts one reply against each
// armed late-reply fault and returns the delay of the one that fires (zero
// when none does). Every reply the unit gives, in process or over a
// pseudo-terminal, goes through here.
std::chrono::milliseconds TakeLateReply(Bench &bench);

// Drops every open handle: later calls on them count as calls on a closed
// handle.
void DropHandles(Bench &bench);

// Fills a unit's identity block and calibration tables from its serial
// number, so that every simulated unit looks different but plausible.
void FillUnitMemory(Converter &unit, std::uint16_t serial);

// Loads the bench a process sees when nobody set one up: two units and a
// converter that is not a unit.
void LoadDefaultBench(Bench &bench);

// Loads the bench from the configuration (VONTREL_SIM_CONFIG, else the
// default bench), arms the faults of VONTREL_SIM_FAIL and, unless
// VONTREL_SIM_STATE is "memory", makes the bench persistent.
void LoadConfiguredBench(Bench &bench);

// Makes sure a bench exists: the configured one when nobody built one.
// Returns false when the bench is out of order (Bench::error).
bool EnsureBench(Bench &bench);

// Puts the configured bench out of order with `why` (the first reason is
// kept).
void BreakBench(Bench &bench, int kind, const std::string &why);

// Makes sure the bench is there (EnsureBench) and, on a persistent bench,
// holds the state file's lock for one call and takes the units' state from
// the file on entry. Waits for the lock at most `timeout_ms` (0: the
// default 2 s).
class StateSession {
public:
    StateSession(Bench &bench, unsigned long timeout_ms = 0);
    ~StateSession();
    StateSession(const StateSession &) = delete;
    StateSession &operator=(const StateSession &) = delete;

    // Whether the call may go on: the lock is held (or not needed) and the
    // state was read. When not, the call fails: with FT_IO_ERROR when the
    // lock was not had in time, FT_OTHER_ERROR when the bench broke.
    bool ok() const { return ok_; }
    FT_STATUS failure() const { return timed_out_ ? FT_IO_ERROR : FT_OTHER_ERROR; }

    // Writes the units' state back when it changed; false (and the bench out
    // of order) when it could not be saved.
    bool Commit();

private:
    Bench &bench_;
    int lock_fd_ = -1;
    bool ok_ = true;
    bool timed_out_ = false;
};

// The converter's lock between processes, for FT_Open on a persistent
// bench: the lock file's descriptor, kConverterBusy when another process
// holds it, or -1 (and the bench out of order) when it cannot be had.
inline constexpr int kConverterBusy = -2;
int LockConverter(Bench &bench, int id);
void UnlockConverter(int fd);

// Frame trace (VONTREL_SIM_TRACE): one line per frame written or read,
// with a time stamp, to a file or standard error. Also open and close.
void TraceFrame(int converter, const char *direction, const std::uint8_t *bytes, DWORD count,
                FT_STATUS status);
void TraceEvent(int converter, const char *what, FT_STATUS status);
// Why the trace could not be opened or written, or "".
const std::string &TraceError();

// Link timing (VONTREL_SIM_TIMING): how long one exchange of a command and
// its response takes at `baud`, 8N1: the wire time, rounded up to the next
// tick of the converter's latency timer; zero when timing is off.
std::chrono::steady_clock::duration ExchangeTime(ULONG baud);

// Whether the unit's registers decode to a frequency it can lock on.
bool IsLocked(const Converter &unit);

// --- Mains switches (mains_switch.cpp) ---

// Whether the bench has a mains switch: only then do calls that list or
// open converters take the power of units from the state file first.
bool HasMains(const Bench &bench);

// Works out each unit's power from the switches' lines. A unit that loses
// power forgets its settings (its registers go back to the power-up image)
// and what it was about to send; one that gets it back answers after its
// switch's boot time. `initial`: the bench is being built, so units
// unpowered start so without a transition.
void ApplyPower(Bench &bench, bool initial = false);

// A byte written to a switch in bit-bang mode: its output lines take the
// byte's bits, and the units follow.
void WriteLines(Bench &bench, Converter &mains, std::uint8_t byte);

// The switches' and the units' power in the state file, and back.
nlohmann::json SerialiseMains(const Bench &bench);
void ApplyMainsState(std::vector<Converter> &converters, const nlohmann::json &state);
nlohmann::json SerialisePower(const Converter &unit);
void ApplyPowerState(Converter &unit, const nlohmann::json &u);

// The converter's serial string when the description gives none.
std::string DefaultSerialNumber(const Converter &c, std::size_t id);

// Whether the bytes have a command frame's markers: 00 21 at the start,
// 40 at the end.
bool IsFrame(const Frame &bytes);

// The unit's answer to one command frame, or nullopt when it gives none.
std::optional<Frame> Answer(Converter &unit, const Frame &command);

}  // namespace vsim

#endif
