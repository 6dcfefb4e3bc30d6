// SPDX-License-Identifier: MIT
// The simulator's D2XX calls: the nine a unit is driven with, and the
// bit-bang calls of a mains switch. Each call is counted, may be hit by an
// armed fault, and is written to the call log with its arguments and bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "d2xx/ftd2xx.h"
#include "d2xx/sim/bench.h"

namespace vsim {
namespace {

// Counts the call and returns the fault that fires on it, if any.
std::optional<Fault> TakeFault(Bench &bench, const char *function)
{
    ++bench.calls;
    const bool is_read = std::strcmp(function, "FT_Read") == 0;
    const bool is_write = std::strcmp(function, "FT_Write") == 0;
    std::optional<Fault> fired;
    for (auto it = bench.faults.begin(); it != bench.faults.end();) {
        if (it->kind == FaultKind::kLateReply) {  // counts replies, not calls
            ++it;
            continue;
        }
        const bool read_only =
            it->kind == FaultKind::kShortRead || it->kind == FaultKind::kReplaceResponse;
        const bool counts = read_only ? is_read
                            : it->kind == FaultKind::kShortWrite
                                ? is_write
                                : (it->function.empty() || it->function == function);
        if (counts && --it->remaining <= 0) {
            if (!fired) {
                fired = *it;
            }
            it = bench.faults.erase(it);
        } else {
            ++it;
        }
    }
    return fired;
}

bool FailsBefore(const std::optional<Fault> &f)
{
    return f && f->kind == FaultKind::kFailBefore;
}

bool FailsAfter(const std::optional<Fault> &f)
{
    return f && f->kind == FaultKind::kFailAfter;
}

struct LogEntry {
    vsim_call call{};
    std::string event;  // traced as an event rather than a frame, when set
    LogEntry(const char *function, int converter)
    {
        std::snprintf(call.function, sizeof call.function, "%s", function);
        call.converter = converter;
    }
    LogEntry &Args(DWORD a0, DWORD a1 = 0, DWORD a2 = 0)
    {
        call.args[0] = a0;
        call.args[1] = a1;
        call.args[2] = a2;
        return *this;
    }
    LogEntry &Bytes(const std::uint8_t *bytes, DWORD count)
    {
        call.byte_count = count;
        if (bytes != nullptr) {
            std::memcpy(call.bytes, bytes, std::min<DWORD>(count, 8));
        }
        return *this;
    }
    FT_STATUS Done(Bench &bench, FT_STATUS status)
    {
        call.status = status;
        if (bench.log_capacity > 0 && bench.log.size() >= bench.log_capacity) {
            bench.log.pop_front();
        }
        bench.log.push_back(call);
        const std::string_view function = call.function;
        if (!event.empty()) {
            TraceEvent(call.converter, event.c_str(), status);
        } else if (function == "FT_Write") {
            TraceFrame(call.converter, "->", call.bytes, call.byte_count, status);
        } else if (function == "FT_Read") {
            TraceFrame(call.converter, "<-", call.bytes, call.byte_count, status);
        } else if (function == "FT_Open") {
            TraceEvent(call.converter, "open", status);
        } else if (function == "FT_Close") {
            TraceEvent(call.converter, "close", status);
        }
        if (!TraceError().empty()) {
            // A trace asked for and not written fails the run, not just the trace.
            BreakBench(bench, VSIM_BENCH_FILES, TraceError());
            return FT_OTHER_ERROR;
        }
        return status;
    }
};

// The handle's object when it is one of the bench's open handles. A handle
// this process has closed is counted, so tests see every such call.
Handle *Find(Bench &bench, FT_HANDLE handle)
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const auto it = bench.handles.find(value);
    if (it != bench.handles.end()) {
        return it->second.get();
    }
    if (value >= kFirstHandle && value < bench.next_handle && value % kHandleStride == 0) {
        ++bench.closed_handle_calls;
    }
    return nullptr;
}

}  // namespace

void DropHandles(Bench &bench)
{
    for (auto &[value, handle] : bench.handles) {
        if (handle->converter >= 0 &&
            static_cast<std::size_t>(handle->converter) < bench.converters.size()) {
            bench.converters[handle->converter].open = false;
        }
        UnlockConverter(handle->lock_fd);
    }
    bench.handles.clear();
}

namespace {

// Index of the converter at enumeration position n (those on the bus only).
int Enumerated(const Bench &bench, long n)
{
    if (n < 0) {
        return -1;
    }
    for (std::size_t id = 0; id < bench.converters.size(); ++id) {
        if (Present(bench.converters[id]) && n-- == 0) {
            return static_cast<int>(id);
        }
    }
    return -1;
}

// Whether the handle's converter is still the one it opened: on the bus,
// and not a unit that has left it (with its power) since.
bool Reaches(const Bench &bench, const Handle &h)
{
    const Converter &c = bench.converters[h.converter];
    return Present(c) && c.generation == h.generation;
}

// Which converters are on the bus depends on the switches' outlets, which
// other processes may have switched: a bench with switches takes the
// units' power from the state file before it lists or opens converters.
// nullopt when the call may go on, else the status it fails with.
std::optional<FT_STATUS> RefreshPower(Bench &bench)
{
    if (!bench.persistent || !HasMains(bench)) {
        return std::nullopt;
    }
    const StateSession session(bench);
    return session.ok() ? std::nullopt : std::optional<FT_STATUS>(session.failure());
}

// Runs a configuration call on a valid handle.
template <typename Apply>
FT_STATUS Configure(const char *function, FT_HANDLE handle, DWORD a0, DWORD a1, DWORD a2,
                    Apply &&apply)
{
    Locked bench;
    const bool usable = EnsureBench(*bench);
    Handle *h = Find(*bench, handle);
    LogEntry entry(function, h != nullptr ? h->converter : -1);
    entry.Args(a0, a1, a2);
    if (!usable) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    const auto fault = TakeFault(*bench, function);
    if (FailsBefore(fault)) {
        return entry.Done(*bench, fault->status);
    }
    if (h == nullptr) {
        return entry.Done(*bench, FT_INVALID_HANDLE);
    }
    if (!Reaches(*bench, *h)) {
        return entry.Done(*bench, FT_IO_ERROR);
    }
    apply(*h);
    return entry.Done(*bench, FailsAfter(fault) ? fault->status : FT_OK);
}

}  // namespace
}  // namespace vsim

using vsim::Locked;

extern "C" {

FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags)
{
    Locked bench;
    const bool usable = vsim::EnsureBench(*bench);
    const bool by_index = (Flags & FT_LIST_BY_INDEX) != 0;
    const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
    vsim::LogEntry entry("FT_ListDevices", by_index ? vsim::Enumerated(*bench, index) : -1);
    entry.Args(Flags, by_index ? index : 0);
    if (!usable) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    if (const auto failed = vsim::RefreshPower(*bench)) {
        return entry.Done(*bench, *failed);
    }
    const auto fault = vsim::TakeFault(*bench, "FT_ListDevices");
    if (vsim::FailsBefore(fault)) {
        return entry.Done(*bench, fault->status);
    }
    FT_STATUS status = FT_OK;
    const bool by_serial = (Flags & FT_OPEN_BY_SERIAL_NUMBER) != 0;
    if ((Flags & FT_LIST_NUMBER_ONLY) != 0) {
        if (pArg1 == nullptr) {
            return entry.Done(*bench, FT_INVALID_PARAMETER);
        }
        const auto present = std::count_if(bench->converters.begin(), bench->converters.end(),
                                           [](const vsim::Converter &c) { return Present(c); });
        *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(present);
    } else if (by_index && ((Flags & FT_OPEN_BY_DESCRIPTION) != 0 || by_serial)) {
        const int id = vsim::Enumerated(*bench, index);
        if (pArg2 == nullptr) {
            status = FT_INVALID_PARAMETER;
        } else if (id < 0) {
            status = FT_DEVICE_NOT_FOUND;
        } else {
            const vsim::Converter &c = bench->converters[id];
            std::snprintf(static_cast<char *>(pArg2), VSIM_DESCRIPTION_SIZE, "%s",
                          by_serial ? c.serial_number.c_str() : c.description.c_str());
        }
    } else {
        status = FT_NOT_SUPPORTED;
    }
    return entry.Done(*bench, vsim::FailsAfter(fault) ? fault->status : status);
}

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    Locked bench;
    const bool usable = vsim::EnsureBench(*bench);
    const std::optional<FT_STATUS> unrefreshed = usable ? vsim::RefreshPower(*bench) : std::nullopt;
    const int id = vsim::Enumerated(*bench, deviceNumber);
    vsim::LogEntry entry("FT_Open", id);
    entry.Args(static_cast<DWORD>(deviceNumber));
    if (!usable) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    if (unrefreshed) {
        return entry.Done(*bench, *unrefreshed);
    }
    const auto fault = vsim::TakeFault(*bench, "FT_Open");
    if (fault) {  // an open that fails never hands out a handle
        return entry.Done(*bench, fault->status);
    }
    if (pHandle == nullptr) {
        return entry.Done(*bench, FT_INVALID_PARAMETER);
    }
    if (id < 0) {
        return entry.Done(*bench, FT_DEVICE_NOT_FOUND);
    }
    vsim::Converter &converter = bench->converters[id];
    if (converter.open) {
        return entry.Done(*bench, FT_DEVICE_NOT_OPENED);
    }
    // A converter shared between processes is open in one of them at a time.
    int lock_fd = -1;
    if (bench->persistent) {
        lock_fd = vsim::LockConverter(*bench, id);
        if (lock_fd == vsim::kConverterBusy) {
            return entry.Done(*bench, FT_DEVICE_NOT_OPENED);
        }
        if (lock_fd < 0) {
            return entry.Done(*bench, FT_OTHER_ERROR);
        }
    }
    const std::uintptr_t value = bench->next_handle;
    bench->next_handle += vsim::kHandleStride;
    auto handle = std::make_unique<vsim::Handle>();
    handle->converter = id;
    handle->generation = converter.generation;
    handle->lock_fd = lock_fd;
    bench->handles.emplace(value, std::move(handle));
    converter.open = true;
    *pHandle = reinterpret_cast<FT_HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
    return entry.Done(*bench, FT_OK);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    Locked bench;
    vsim::EnsureBench(*bench);  // a handle closes even on a bench out of order
    vsim::Handle *h = vsim::Find(*bench, ftHandle);
    vsim::LogEntry entry("FT_Close", h != nullptr ? h->converter : -1);
    const auto fault = vsim::TakeFault(*bench, "FT_Close");
    if (vsim::FailsBefore(fault)) {
        return entry.Done(*bench, fault->status);
    }
    if (h == nullptr) {
        return entry.Done(*bench, FT_INVALID_HANDLE);
    }
    bench->converters[h->converter].open = false;
    const int lock_fd = h->lock_fd;
    bench->handles.erase(reinterpret_cast<std::uintptr_t>(ftHandle));
    const FT_STATUS status = entry.Done(*bench, vsim::FailsAfter(fault) ? fault->status : FT_OK);
    // Released after the trace line, so that a trace shows this close before
    // another process's open.
    vsim::UnlockConverter(lock_fd);
    return status;
}

FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle)
{
    // The converter starts again from its defaults: what it holds is
    // discarded, and its line settings and time-outs must be set again.
    // Reply bytes still on their way from a unit that stalled are not in
    // the converter yet: they arrive after the reset, as they would.
    return vsim::Configure("FT_ResetDevice", ftHandle, 0, 0, 0, [](vsim::Handle &h) {
        const auto now = std::chrono::steady_clock::now();
        vsim::Handle fresh;
        fresh.converter = h.converter;
        fresh.generation = h.generation;
        fresh.lock_fd = h.lock_fd;
        for (const vsim::InFlight &b : h.pending) {
            if (b.ready > now) {
                fresh.pending.push_back(b);
            }
        }
        h = std::move(fresh);
    });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
{
    return vsim::Configure("FT_SetTimeouts", ftHandle, ReadTimeout, WriteTimeout, 0,
                           [&](vsim::Handle &h) {
                               h.read_timeout_ms = ReadTimeout;
                               h.write_timeout_ms = WriteTimeout;
                           });
}

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate)
{
    return vsim::Configure("FT_SetBaudRate", ftHandle, BaudRate, 0, 0,
                           [&](vsim::Handle &h) { h.baud = BaudRate; });
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits,
                                    UCHAR Parity)
{
    return vsim::Configure("FT_SetDataCharacteristics", ftHandle, WordLength, StopBits, Parity,
                           [&](vsim::Handle &h) {
                               h.word_length = WordLength;
                               h.stop_bits = StopBits;
                               h.parity = Parity;
                           });
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten)
{
    Locked bench;
    const bool usable = vsim::EnsureBench(*bench);
    vsim::Handle *h = vsim::Find(*bench, ftHandle);
    vsim::LogEntry entry("FT_Write", h != nullptr ? h->converter : -1);
    entry.Args(dwBytesToWrite);
    if (lpBuffer != nullptr) {
        entry.Bytes(static_cast<const std::uint8_t *>(lpBuffer), dwBytesToWrite);
    }
    if (lpBytesWritten != nullptr) {
        *lpBytesWritten = 0;
    }
    if (!usable) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    // The unit's state is shared with other processes; waiting for it counts
    // against the write time-out, as waiting for the wire would.
    vsim::StateSession session(*bench, h != nullptr ? h->write_timeout_ms : 0);
    if (!session.ok()) {
        return entry.Done(*bench, session.failure());
    }
    const auto fault = vsim::TakeFault(*bench, "FT_Write");
    if (vsim::FailsBefore(fault)) {
        return entry.Done(*bench, fault->status);
    }
    if (h == nullptr) {
        return entry.Done(*bench, FT_INVALID_HANDLE);
    }
    if (lpBuffer == nullptr || lpBytesWritten == nullptr) {
        return entry.Done(*bench, FT_INVALID_PARAMETER);
    }
    vsim::Converter &converter = bench->converters[h->converter];
    if (!vsim::Reaches(*bench, *h)) {
        return entry.Done(*bench, FT_IO_ERROR);
    }
    // A write that ends at its time-out: only part of the frame goes out,
    // and the unit, which sees no whole frame, does not answer.
    if (fault && fault->kind == vsim::FaultKind::kShortWrite) {
        *lpBytesWritten = std::min(fault->bytes, dwBytesToWrite);
        return entry.Done(*bench, FT_OK);
    }
    // A mains switch in bit-bang mode puts each byte on its output lines,
    // one after another; out of it, the bytes leave on its serial line and
    // change nothing.
    if (converter.mains) {
        if (converter.mains->bitbang) {
            const auto *bytes = static_cast<const std::uint8_t *>(lpBuffer);
            for (DWORD i = 0; i < dwBytesToWrite; ++i) {
                vsim::WriteLines(*bench, converter, bytes[i]);
            }
        }
        char lines[32];
        std::snprintf(lines, sizeof lines, "lines %02X", converter.mains->lines);
        entry.event = lines;
        if (!session.Commit()) {
            return entry.Done(*bench, FT_OTHER_ERROR);
        }
        *lpBytesWritten = dwBytesToWrite;
        return entry.Done(*bench, vsim::FailsAfter(fault) ? fault->status : FT_OK);
    }
    // The unit only makes sense of a whole frame at the unit's line settings.
    const bool line_ok = h->baud == vsim::kUnitBaud && h->word_length == FT_BITS_8 &&
                         h->stop_bits == FT_STOP_BITS_1 && h->parity == FT_PARITY_NONE;
    if (dwBytesToWrite == 8 && line_ok) {
        vsim::Frame frame;
        std::memcpy(frame.data(), lpBuffer, 8);
        if (const auto reply = vsim::Answer(converter, frame)) {
            // A unit answers in order: a reply never overtakes one that
            // came late before it.
            auto ready = std::chrono::steady_clock::now() + vsim::ExchangeTime(h->baud) +
                         vsim::TakeLateReply(*bench);
            if (!h->pending.empty()) {
                ready = std::max(ready, h->pending.back().ready);
            }
            for (const std::uint8_t byte : *reply) {
                h->pending.push_back(vsim::InFlight{byte, ready});
            }
        }
    }
    if (!session.Commit()) {
        h->pending.clear();  // the unit did not keep what the frame asked
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    *lpBytesWritten = dwBytesToWrite;
    return entry.Done(*bench, vsim::FailsAfter(fault) ? fault->status : FT_OK);
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned)
{
    // A reply byte is there once it has arrived (see InFlight): wait for
    // the bytes asked for, or for all that are on their way when fewer are,
    // without holding the bench, but never past the read time-out: what is
    // not there by then comes with a later read, as on a real converter.
    const auto called = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point ready_at{};
    {
        Locked bench;
        if (const vsim::Handle *h = vsim::Find(*bench, ftHandle)) {
            if (!h->pending.empty() && dwBytesToRead > 0) {
                const std::size_t last = std::min<std::size_t>(dwBytesToRead, h->pending.size());
                ready_at = h->pending[last - 1].ready;
            }
            if (h->read_timeout_ms > 0) {
                ready_at =
                    std::min(ready_at, called + std::chrono::milliseconds(h->read_timeout_ms));
            }
        }
    }
    std::this_thread::sleep_until(ready_at);

    Locked bench;
    const bool usable = vsim::EnsureBench(*bench);
    vsim::Handle *h = vsim::Find(*bench, ftHandle);
    vsim::LogEntry entry("FT_Read", h != nullptr ? h->converter : -1);
    entry.Args(dwBytesToRead);
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = 0;
    }
    if (!usable) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    const auto fault = vsim::TakeFault(*bench, "FT_Read");
    if (vsim::FailsBefore(fault)) {
        if (h != nullptr) {
            h->pending.clear();
        }
        return entry.Done(*bench, fault->status);
    }
    if (h == nullptr) {
        return entry.Done(*bench, FT_INVALID_HANDLE);
    }
    if (lpBuffer == nullptr || lpBytesReturned == nullptr) {
        return entry.Done(*bench, FT_INVALID_PARAMETER);
    }
    if (!vsim::Reaches(*bench, *h)) {
        h->pending.clear();
        return entry.Done(*bench, FT_IO_ERROR);
    }
    auto *out = static_cast<std::uint8_t *>(lpBuffer);
    DWORD count = 0;
    if (fault && fault->kind == vsim::FaultKind::kReplaceResponse) {
        count = std::min<DWORD>(dwBytesToRead, 8);
        std::memcpy(out, fault->replacement.data(), count);
        h->pending.clear();
    } else {
        // Only what has arrived by now is there to read.
        const auto now = std::chrono::steady_clock::now();
        DWORD available = 0;
        while (available < h->pending.size() && h->pending[available].ready <= now) {
            ++available;
        }
        if (fault && fault->kind == vsim::FaultKind::kShortRead) {
            available = std::min(available, fault->bytes);
        }
        count = std::min(dwBytesToRead, available);
        for (DWORD i = 0; i < count; ++i) {
            out[i] = h->pending[i].byte;
        }
        h->pending.erase(h->pending.begin(), h->pending.begin() + count);
        if (fault && fault->kind == vsim::FaultKind::kShortRead) {
            h->pending.clear();  // the rest of that response is lost
        }
    }
    *lpBytesReturned = count;
    entry.Bytes(out, count);
    return entry.Done(*bench, vsim::FailsAfter(fault) ? fault->status : FT_OK);
}

}  // extern "C"

namespace {

// The mains switch a bit-bang call is made on, with the state file's lock
// held for the call: the lines are shared with every process.
template <typename Apply>
FT_STATUS OnSwitch(const char *function, FT_HANDLE handle, DWORD a0, DWORD a1, Apply &&apply)
{
    Locked bench;
    const bool usable = vsim::EnsureBench(*bench);
    vsim::Handle *h = vsim::Find(*bench, handle);
    vsim::LogEntry entry(function, h != nullptr ? h->converter : -1);
    entry.Args(a0, a1);
    if (!usable) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    vsim::StateSession session(*bench, h != nullptr ? h->write_timeout_ms : 0);
    if (!session.ok()) {
        return entry.Done(*bench, session.failure());
    }
    const auto fault = vsim::TakeFault(*bench, function);
    if (vsim::FailsBefore(fault)) {
        return entry.Done(*bench, fault->status);
    }
    if (h == nullptr) {
        return entry.Done(*bench, FT_INVALID_HANDLE);
    }
    if (!vsim::Reaches(*bench, *h)) {
        return entry.Done(*bench, FT_IO_ERROR);
    }
    vsim::Converter &converter = bench->converters[h->converter];
    if (!converter.mains) {
        return entry.Done(*bench, FT_NOT_SUPPORTED);
    }
    const FT_STATUS status = apply(*converter.mains, entry);
    if (status == FT_OK && !session.Commit()) {
        return entry.Done(*bench, FT_OTHER_ERROR);
    }
    return entry.Done(*bench, vsim::FailsAfter(fault) && status == FT_OK ? fault->status : status);
}

}  // namespace

extern "C" {

FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
{
    return OnSwitch("FT_SetBitMode", ftHandle, ucMask, ucEnable,
                    [&](vsim::MainsSwitch &m, vsim::LogEntry &) {
                        if (ucEnable == FT_BITMODE_ASYNC_BITBANG) {
                            m.bitbang = true;
                            m.outputs = ucMask;
                        } else if (ucEnable == FT_BITMODE_RESET) {
                            m.bitbang = false;
                            m.outputs = 0;
                        } else {
                            return FT_INVALID_PARAMETER;  // a mode a switch has no use for
                        }
                        return FT_OK;
                    });
}

FT_STATUS FT_GetBitMode(FT_HANDLE ftHandle, UCHAR *pucMode)
{
    return OnSwitch("FT_GetBitMode", ftHandle, 0, 0, [&](vsim::MainsSwitch &m, vsim::LogEntry &e) {
        if (pucMode == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *pucMode = m.lines;
        e.Bytes(&m.lines, 1);
        return FT_OK;
    });
}

}  // extern "C"
