// SPDX-License-Identifier: MIT
// Every fault position: for each export, every D2XX call of a normal run is
// made to fail in turn (FT_IO_ERROR, and as a short read or write where the
// call is one: a unit that did not answer in time), and the outcome is checked
// against what the export promises.
//
// Most oracles are differential: a failed read yields 0, so the run must
// look exactly like a clean run on a unit that holds 0 where that read
// looked (the same later frames and outputs). A failed call leaves the
// books of the link unbalanced, so the exchange after it first purges the
// link: those calls are the only ones added (the unit echoes, so its
// replies are checked by that, with no wait behind them). A reply that does not come whole ends the
// export there: nothing after it is sent, and every read it did not make counts as 0. *status must
// hold the failure wherever in the sequence it happened.
#include <functional>
#include <numeric>

#include "tests/reliability/call_log.h"

namespace reliability {
namespace {

struct Outcome {
    int result = 0;
    unsigned long status = 0;
    std::string outputs;             // everything the caller can see, printed
    std::vector<std::string> calls;  // the D2XX calls made, in order
    int open_handles = 0;
    std::vector<vsim_call> log;  // the same calls as logged
};

enum class Fault { kIoError, kShortRead, kShortWrite };

// The bench of one run: converter ids and the open unit's token.
struct Bench {
    int unit = 0;
    void *handle = nullptr;
};
Bench bench;

void OpenOneUnit(bool program)
{
    vsim_clear();
    bench.unit = vsim_add_unit("Vontrel", 0x0B0E);
    bench.handle = AsHandle(OpenAll(1)[0]);
    unsigned long status = 0;
    if (program) {
        Vontrel_Preset(&status, bench.handle);  // locked at the power-up image
    }
    vsim_clear_log();
}

std::string Print(const double *v, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        char item[32];
        std::snprintf(item, sizeof item, "%.17g ", v[i]);
        s += item;
    }
    return s;
}

// --- The exports, each as one run on a fresh bench ---

constexpr int kOpenConverters = 3;  // unit, other converter, unit
const int kSerials[kOpenConverters] = {0x1111, kUntouched, 0x2222};

struct OpenOutputs {
    int found = kUntouched;
    bool handle_set[kOpenConverters] = {};
    int serials[kOpenConverters] = {kUntouched, kUntouched, kUntouched};
    std::string Print() const
    {
        std::string s = "found=" + std::to_string(found);
        for (int i = 0; i < kOpenConverters; ++i) {
            s += " [" + std::string(handle_set[i] ? "handle" : "-") + " " +
                 std::to_string(serials[i]) + "]";
        }
        return s;
    }
};

void OpenBench()
{
    vsim_clear();
    vsim_add_unit("Vontrel", kSerials[0]);
    vsim_add_converter("USB Serial");
    vsim_add_unit("Vortex", kSerials[2]);  // only the first letter counts
}

Outcome RunOpen()
{
    Outcome o;
    int handles[kOpenConverters] = {kUntouched, kUntouched, kUntouched};
    OpenOutputs out;
    o.result = Vontrel_Open(&o.status, &out.found, handles, out.serials);
    for (int i = 0; i < kOpenConverters; ++i) {
        out.handle_set[i] = handles[i] != kUntouched;
        EXPECT_EQ(handles[i] == kUntouched, out.serials[i] == kUntouched)
            << "serial number and handle are written together";
    }
    o.outputs = out.Print();
    o.calls = DescribedLog();
    vsim_clear_faults();
    o.open_handles = vsim_open_handles();
    for (int h : handles) {
        if (h != kUntouched) {
            EXPECT_EQ(Vontrel_Close(AsHandle(h)), 0) << "a reported handle does not close";
        }
    }
    return o;
}

Outcome RunClose()
{
    Outcome o;
    o.result = Vontrel_Close(bench.handle);
    o.calls = DescribedLog();
    vsim_clear_faults();
    // Whatever FT_Close answered, the token is gone.
    o.outputs = "again=" + std::to_string(Vontrel_Close(bench.handle));
    bench.handle = nullptr;
    return o;
}

Outcome RunReadInfo()
{
    Outcome o;
    int sn = kUntouched;
    char frev[VONTREL_FREV_SIZE] = "-", hrev[VONTREL_HREV_SIZE] = {'-'};
    char caldate[VONTREL_CALDATE_SIZE] = "-", ifband[VONTREL_IFBAND_SIZE] = "-";
    o.result = Vontrel_ReadInfo(&o.status, bench.handle, &sn, frev, hrev, caldate, ifband);
    o.outputs = std::to_string(sn) + " " + frev + " " + std::string(1, hrev[0]) + " " + caldate +
                " " + ifband;
    return o;
}

Outcome RunReadLD()
{
    Outcome o;
    int ld = kUntouched;
    o.result = Vontrel_ReadLD(&o.status, bench.handle, &ld);
    o.outputs = "LD=" + std::to_string(ld);
    return o;
}

Outcome RunPreset()
{
    Outcome o;
    Vontrel_Preset(&o.status, bench.handle);
    return o;
}

Outcome RunSaveUserPreset()
{
    Outcome o;
    Vontrel_SaveUserPreset(&o.status, bench.handle);
    return o;
}

Outcome RunReadStatus()
{
    Outcome o;
    double values[VONTREL_READ_STATUS_ENTRIES + 1];
    std::fill(std::begin(values), std::end(values), 42.0);
    o.result = Vontrel_ReadStatus(&o.status, bench.handle, values);
    o.outputs = Print(values, VONTREL_READ_STATUS_ENTRIES + 1);
    return o;
}

// Mode 3, so table C shapes register 0; autoTrim off (12 exchanges) and on (14).
Outcome RunWriteStatus(std::array<double, 12> values)
{
    Outcome o;
    Vontrel_WriteStatus(&o.status, bench.handle, values.data());
    return o;
}

// --- Oracles ---

// Makes the unit hold 0 wherever `frame` reads: a memory cell or a register.
void ZeroWhatFrameReads(const vsim_call &write)
{
    const std::uint8_t code = write.bytes[2];
    if (code == 0x0D) {
        vsim_set_memory(bench.unit,
                        static_cast<std::uint16_t>(write.bytes[3] | write.bytes[4] << 8), 0);
    } else if (code == 0x0B) {
        vsim_set_register(bench.unit, 0, 0);
    } else if (code == 0x00) {
        vsim_set_register(bench.unit, write.bytes[3], 0);
    }
}

struct Export;
using Oracle = std::function<Outcome(const Export &, const std::vector<vsim_call> &base,
                                     const Outcome &baseline, std::size_t k, Fault fault)>;

struct Export {
    const char *name;
    std::function<void()> setup;
    std::function<Outcome()> run;
    Oracle expect;
};

// One run: fresh bench, faults armed by `arm`, the export, its log.
Outcome Capture(const Export &e, const std::function<void()> &arm)
{
    e.setup();
    arm();
    Outcome o = e.run();
    o.log = SimLog();
    if (o.calls.empty()) {
        o.calls = DescribedLog();
    }
    o.log.resize(o.calls.size());
    vsim_clear_faults();
    if (o.open_handles == 0) {
        o.open_handles = vsim_open_handles();
    }
    if (bench.handle != nullptr) {
        Vontrel_Close(bench.handle);
        bench.handle = nullptr;
    }
    return o;
}

// The exchange (write and read) that call k (1-based) belongs to.
std::size_t WriteOfExchange(const std::vector<vsim_call> &base, std::size_t k)
{
    return std::string(base[k - 1].function) == "FT_Write" ? k - 1 : k - 2;
}

// The calls that purge a link before an exchange when its books could not
// be kept.
std::vector<std::string> ResyncCalls(const std::string &c)
{
    return {"FT_ResetDevice " + c, "FT_SetTimeouts " + c,
            "FT_SetBaudRate " + c, "FT_SetDataCharacteristics " + c,
            "FT_Read " + c,        "FT_SetTimeouts " + c};
}
// A reply that did not come whole at call k (a read): the export ends there,
// and it reads as a run on a unit that held 0 wherever this read and every
// later one looked. Which cells those are can depend on what was read
// before them (the calibration index on the frequency), so the zeroed run
// is repeated until it reads where it zeroes.
Outcome Stalled(const Export &e, const std::vector<vsim_call> &base, std::size_t k)
{
    const std::size_t first = WriteOfExchange(base, k);
    std::vector<vsim_call> reads = base;
    Outcome zeroed;
    for (int round = 0; round < 4; ++round) {
        zeroed = Capture(e, [&] {
            for (std::size_t i = first; i < reads.size(); ++i) {
                if (std::string(reads[i].function) == "FT_Write") {
                    ZeroWhatFrameReads(reads[i]);
                }
            }
        });
        std::vector<std::string> before, after;
        for (const vsim_call &c : reads) {
            before.push_back(Describe(c));
        }
        for (const vsim_call &c : zeroed.log) {
            after.push_back(Describe(c));
        }
        if (before == after) {
            break;
        }
        reads = zeroed.log;
    }
    Outcome expected = zeroed;
    expected.calls.resize(k);
    expected.status = FT_IO_ERROR;
    return expected;
}

// Exports built on the exchange step: a failed exchange yields 0 and the
// sequence goes on, with the link put back in step around the next
// exchange; a reply that does not come whole ends the sequence.
Outcome ZeroedExchange(const Export &e, const std::vector<vsim_call> &base, const Outcome &,
                       std::size_t k, Fault fault)
{
    if (fault != Fault::kIoError) {
        return Stalled(e, base, k);
    }
    const std::size_t w = WriteOfExchange(base, k);
    const vsim_call write = base[w];
    Outcome expected = Capture(e, [&] { ZeroWhatFrameReads(write); });
    const bool write_failed = std::string(base[k - 1].function) == "FT_Write";
    if (write_failed) {
        expected.calls.erase(expected.calls.begin() + static_cast<long>(k));  // no read
    }
    const std::size_t next = w + (write_failed ? 1 : 2);  // the next exchange's write
    if (next < expected.calls.size()) {
        const std::string c = "c" + std::to_string(write.converter);
        const auto resync = ResyncCalls(c);
        // The unit echoes: its replies after the purge are checked by their
        // echo, with no wait behind them.
        expected.calls.insert(expected.calls.begin() + static_cast<long>(next), resync.begin(),
                              resync.end());
    }
    expected.status = FT_IO_ERROR;  // the first failure is kept, wherever it was
    return expected;
}

// Only bytes 0 and 1 are tested: a failure there ends the call with nothing
// written; later ones read as 0.
Outcome ReadInfoOracle(const Export &e, const std::vector<vsim_call> &base, const Outcome &baseline,
                       std::size_t k, Fault fault)
{
    const std::size_t exchange = (k - 1) / 2;
    if (exchange >= 2) {
        return ZeroedExchange(e, base, baseline, k, fault);
    }
    Outcome expected;
    expected.result = exchange == 0 ? -1 : -2;
    expected.status = FT_IO_ERROR;
    expected.outputs = std::to_string(kUntouched) + " - - - -";
    expected.calls.assign(baseline.calls.begin(), baseline.calls.begin() + static_cast<long>(k));
    expected.open_handles = 1;
    return expected;
}

// A failed exchange reads as "not locked".
Outcome ReadLDOracle(const Export &, const std::vector<vsim_call> &, const Outcome &baseline,
                     std::size_t k, Fault)
{
    Outcome expected = baseline;
    expected.calls.resize(k);  // no read after a failed write
    expected.status = FT_IO_ERROR;
    expected.outputs = "LD=0";
    return expected;
}

// The read follows even a failed write, and the failure is kept; the reply
// is not looked at, but one that does not come whole is a failure too.
Outcome PresetOracle(const Export &, const std::vector<vsim_call> &, const Outcome &baseline,
                     std::size_t k, Fault fault)
{
    Outcome expected = baseline;
    if (fault == Fault::kShortWrite) {
        expected.calls.resize(k);  // a write that timed out: no read
    }
    expected.status = FT_IO_ERROR;
    return expected;
}

Outcome CloseOracle(const Export &, const std::vector<vsim_call> &, const Outcome &baseline,
                    std::size_t, Fault)
{
    Outcome expected = baseline;
    expected.result = static_cast<int>(FT_IO_ERROR);
    expected.open_handles = 1;  // the converter library kept it; the token is gone all the same
    return expected;
}

// Vontrel_Open walks the converters by index. A failure abandons that index
// (closing the unit if it was opened) and the walk goes on; the count query
// failing ends the call.
Outcome OpenOracle(const Export &, const std::vector<vsim_call> &base, const Outcome &baseline,
                   std::size_t k, Fault fault)
{
    Outcome expected = baseline;
    if (k == 1) {  // the count stays 0
        expected.result = -1;
        expected.status = FT_IO_ERROR;
        expected.outputs = OpenOutputs{}.Print();
        expected.calls.resize(1);
        expected.open_handles = 0;
        return expected;
    }
    // Blocks of calls per enumeration index, each starting with its
    // description query.
    std::vector<std::size_t> starts;
    for (std::size_t i = 1; i < base.size(); ++i) {
        if (std::string(base[i].function) == "FT_ListDevices") {
            starts.push_back(i);
        }
    }
    starts.push_back(base.size());
    std::size_t block = 0;
    while (starts[block + 1] <= k - 1) {
        ++block;
    }
    const std::size_t start = starts[block], end = starts[block + 1];
    const int index = static_cast<int>(block);
    const bool is_unit = kSerials[index] != kUntouched;

    // The read after a unit's first reply that checks nothing came behind
    // it: nothing is there, so a short one changes nothing, and a failed
    // one still sets the 2000 ms time-outs back.
    const bool check_read = std::string(base[k - 1].function) == "FT_Read" &&
                            std::string(base[k - 2].function) == "FT_SetTimeouts" &&
                            base[k - 2].args[0] != base[start + 3].args[0];
    if (check_read && fault == Fault::kShortRead) {
        return baseline;
    }
    expected.calls.assign(baseline.calls.begin(), baseline.calls.begin() + static_cast<long>(k));
    if (check_read) {
        expected.calls.push_back("FT_SetTimeouts c" + std::to_string(base[start].converter));
    }
    if (k - 1 > start + 1) {  // FT_Open had succeeded: the unit is closed again
        expected.calls.push_back("FT_Close c" + std::to_string(base[start].converter));
    }
    expected.calls.insert(expected.calls.end(), baseline.calls.begin() + static_cast<long>(end),
                          baseline.calls.end());

    OpenOutputs out;
    out.found = 2 - (is_unit && k - 1 == start ? 1 : 0);
    for (int i = 0; i < kOpenConverters; ++i) {
        if (kSerials[i] != kUntouched && i != index) {
            out.handle_set[i] = true;
            out.serials[i] = kSerials[i];
        }
    }
    expected.outputs = out.Print();
    expected.status = end == base.size() ? FT_IO_ERROR : FT_OK;
    expected.open_handles = is_unit ? 1 : 2;
    return expected;
}

std::vector<Export> Exports()
{
    const std::array<double, 12> plain = {10, 20, 1000, 2, 10, 3, 5, 1, 0, 0, 0, 0};
    const std::array<double, 12> auto_trim = {10, 20, 2455, 2, 10, 3, 5, 0, 1, 2, 1, 1};
    const auto one_unit = [] { OpenOneUnit(false); };
    return {
        {"Vontrel_Open", OpenBench, RunOpen, OpenOracle},
        {"Vontrel_Close", one_unit, RunClose, CloseOracle},
        {"Vontrel_ReadInfo", one_unit, RunReadInfo, ReadInfoOracle},
        {"Vontrel_ReadLD", [] { OpenOneUnit(true); }, RunReadLD, ReadLDOracle},
        {"Vontrel_Preset", one_unit, RunPreset, PresetOracle},
        {"Vontrel_SaveUserPreset", one_unit, RunSaveUserPreset, PresetOracle},
        {"Vontrel_ReadStatus", one_unit, RunReadStatus, ZeroedExchange},
        {"Vontrel_WriteStatus (12 exchanges)", one_unit, [=] { return RunWriteStatus(plain); },
         ZeroedExchange},
        {"Vontrel_WriteStatus (14 exchanges)", one_unit, [=] { return RunWriteStatus(auto_trim); },
         ZeroedExchange},
    };
}

void ExpectSame(const Outcome &actual, const Outcome &expected, const std::string &what)
{
    EXPECT_EQ(actual.result, expected.result) << what;
    EXPECT_EQ(actual.status, expected.status) << what;
    EXPECT_EQ(actual.outputs, expected.outputs) << what;
    EXPECT_EQ(actual.calls, expected.calls) << what;
    EXPECT_EQ(actual.open_handles, expected.open_handles) << what;
}

TEST(FaultPositions, EveryCallOfEveryExport)
{
    int positions = 0;
    for (const Export &e : Exports()) {
        const Outcome baseline = Capture(e, [] {});
        const std::vector<vsim_call> &base = baseline.log;
        ASSERT_EQ(baseline.status, FT_OK) << e.name;

        std::size_t k = 1;
        for (;; ++k) {
            const Outcome actual =
                Capture(e, [&] { vsim_fail_call(nullptr, long(k), FT_IO_ERROR); });
            if (actual.calls.size() < k) {
                break;  // the run ended before call k: every position is covered
            }
            const std::string what = std::string(e.name) + ", call " + std::to_string(k) + " (" +
                                     base[k - 1].function + ") fails";
            ExpectSame(actual, e.expect(e, base, baseline, k, Fault::kIoError), what);
            ++positions;

            // The same call once more as a time-out: a read or write that
            // moves only part of a frame.
            const std::string function = base[k - 1].function;
            const bool is_write = function == "FT_Write";
            if (!is_write && function != "FT_Read") {
                continue;
            }
            const long nth =
                std::count_if(base.begin(), base.begin() + static_cast<long>(k),
                              [&](const vsim_call &c) { return c.function == function; });
            const DWORD bytes = static_cast<DWORD>(k % 8);
            const Outcome short_one =
                Capture(e, [&] { (is_write ? vsim_short_write : vsim_short_read)(nth, bytes); });
            ExpectSame(
                short_one,
                e.expect(e, base, baseline, k, is_write ? Fault::kShortWrite : Fault::kShortRead),
                what + " as a short " + (is_write ? "write" : "read") + " of " +
                    std::to_string(bytes) + " bytes");
            ++positions;
        }
        EXPECT_EQ(k - 1, base.size()) << e.name << ": a position was not reached";
    }
    EXPECT_EQ(vsim_open_handles(), 0);
    std::printf("fault positions covered: %d\n", positions);
    RecordProperty("fault_positions", positions);
}

}  // namespace
}  // namespace reliability
