// SPDX-License-Identifier: MIT
// The simulator's control interface (vsim.h).
#include <algorithm>
#include <cstring>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/vsim.h"

namespace vsim {

Bench Locked::bench_;
std::mutex Locked::mutex_;

Locked::Locked() : lock_(mutex_) {}

namespace {

// The converter `id` of a bench that works, or null.
Converter *Unit(Bench &bench, int id)
{
    if (!EnsureBench(bench) || id < 0 || static_cast<std::size_t>(id) >= bench.converters.size()) {
        return nullptr;
    }
    return &bench.converters[id];
}

void ArmFault(Fault fault)
{
    Locked bench;
    bench->faults.push_back(std::move(fault));
}

// A read or write that delivers or sends only `bytes` (0 to 7) of a frame.
void ArmShort(FaultKind kind, long nth, DWORD bytes)
{
    Fault fault;
    fault.kind = kind;
    fault.remaining = nth;
    fault.bytes = std::min<DWORD>(bytes, 7);
    ArmFault(std::move(fault));
}

}  // namespace
}  // namespace vsim

using vsim::Locked;

extern "C" {

void vsim_clear(void)
{
    Locked bench;
    vsim::DropHandles(*bench);
    bench->converters.clear();
    bench->faults.clear();
    bench->log.clear();
    bench->calls = 0;
    bench->closed_handle_calls = 0;
    bench->initialised = true;
    bench->persistent = false;  // an explicitly built bench lives in memory only
    bench->error.clear();
    bench->error_kind = 0;
}

void vsim_load_default_bench(void)
{
    vsim_clear();
    Locked bench;
    vsim::LoadDefaultBench(*bench);
}

int vsim_add_converter(const char *description)
{
    Locked bench;
    if (!bench->initialised) {
        bench->initialised = true;  // an explicitly built bench starts empty
        bench->persistent = false;
    }
    vsim::Converter converter;
    converter.description = description != nullptr ? description : "";
    converter.serial_number = vsim::DefaultSerialNumber(converter, bench->converters.size());
    bench->converters.push_back(std::move(converter));
    return static_cast<int>(bench->converters.size() - 1);
}

int vsim_add_unit(const char *description, uint16_t serial)
{
    Locked bench;
    if (!bench->initialised) {
        bench->initialised = true;
        bench->persistent = false;
    }
    vsim::Converter unit;
    unit.description = description != nullptr ? description : "";
    unit.is_unit = true;
    vsim::FillUnitMemory(unit, serial);
    unit.serial_number = vsim::DefaultSerialNumber(unit, bench->converters.size());
    bench->converters.push_back(std::move(unit));
    vsim::ApplyPower(*bench, true);  // on a switch's outlet that is off, it starts unpowered
    return static_cast<int>(bench->converters.size() - 1);
}

int vsim_converter_count(void)
{
    Locked bench;
    return vsim::EnsureBench(*bench) ? static_cast<int>(bench->converters.size()) : 0;
}

void vsim_unplug(int id)
{
    Locked bench;
    if (vsim::Converter *c = vsim::Unit(*bench, id)) {
        c->plugged = false;
    }
}

void vsim_plug(int id)
{
    Locked bench;
    if (vsim::Converter *c = vsim::Unit(*bench, id)) {
        c->plugged = true;
    }
}

void vsim_set_memory(int id, uint16_t address, uint8_t value)
{
    Locked bench;
    vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Unit(*bench, id) : nullptr;
    if (c != nullptr && address < c->memory.size()) {
        c->memory[address] = value;
        session.Commit();
    }
}

uint8_t vsim_get_memory(int id, uint16_t address)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Unit(*bench, id) : nullptr;
    return c != nullptr && address < c->memory.size() ? c->memory[address] : 0xFF;
}

void vsim_set_register(int id, int index, uint32_t word)
{
    Locked bench;
    vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Unit(*bench, id) : nullptr;
    if (c != nullptr && index >= 0 && index < 8) {
        c->registers[index] = word;
        session.Commit();
    }
}

uint32_t vsim_get_register(int id, int index)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Unit(*bench, id) : nullptr;
    return c != nullptr && index >= 0 && index < 8 ? c->registers[index] : 0;
}

int vsim_locked(int id)
{
    Locked bench;
    const vsim::StateSession session(*bench);
    vsim::Converter *c = session.ok() ? vsim::Unit(*bench, id) : nullptr;
    return c != nullptr && vsim::IsLocked(*c) ? 1 : 0;
}

int vsim_open_handles(void)
{
    Locked bench;
    return static_cast<int>(bench->handles.size());
}

long vsim_closed_handle_calls(void)
{
    Locked bench;
    return bench->closed_handle_calls;
}

void vsim_fail_call(const char *function, long nth, FT_STATUS status)
{
    vsim::Fault fault;
    fault.kind = vsim::FaultKind::kFailBefore;
    fault.function = function != nullptr ? function : "";
    fault.remaining = nth;
    fault.status = status;
    vsim::ArmFault(std::move(fault));
}

void vsim_fail_call_after(const char *function, long nth, FT_STATUS status)
{
    vsim::Fault fault;
    fault.kind = vsim::FaultKind::kFailAfter;
    fault.function = function != nullptr ? function : "";
    fault.remaining = nth;
    fault.status = status;
    vsim::ArmFault(std::move(fault));
}

void vsim_short_read(long nth, DWORD bytes)
{
    vsim::ArmShort(vsim::FaultKind::kShortRead, nth, bytes);
}

void vsim_short_write(long nth, DWORD bytes)
{
    vsim::ArmShort(vsim::FaultKind::kShortWrite, nth, bytes);
}

void vsim_replace_response(long nth, const unsigned char bytes[8])
{
    vsim::Fault fault;
    fault.kind = vsim::FaultKind::kReplaceResponse;
    fault.remaining = nth;
    std::memcpy(fault.replacement.data(), bytes, 8);
    vsim::ArmFault(std::move(fault));
}

void vsim_late_reply(long nth, unsigned long ms)
{
    vsim::Fault fault;
    fault.kind = vsim::FaultKind::kLateReply;
    fault.remaining = nth;
    fault.delay = std::chrono::milliseconds(std::min<unsigned long>(ms, vsim::kMaxLateMs));
    vsim::ArmFault(std::move(fault));
}

void vsim_clear_faults(void)
{
    Locked bench;
    bench->faults.clear();
}

size_t vsim_log_size(void)
{
    Locked bench;
    return bench->log.size();
}

int vsim_log_entry(size_t i, vsim_call *out)
{
    Locked bench;
    if (i >= bench->log.size() || out == nullptr) {
        return -1;
    }
    *out = bench->log[i];
    return 0;
}

void vsim_clear_log(void)
{
    Locked bench;
    bench->log.clear();
}

void vsim_set_log_capacity(size_t entries)
{
    Locked bench;
    bench->log_capacity = entries;
    while (entries > 0 && bench->log.size() > entries) {
        bench->log.pop_front();
    }
}

long vsim_call_count(void)
{
    Locked bench;
    return bench->calls;
}

}  // extern "C"
