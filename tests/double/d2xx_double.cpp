// SPDX-License-Identifier: MIT
#include "tests/double/d2xx_double.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace {

struct Converter {
    std::string description;
    std::map<int, std::uint8_t> memory;
    std::array<std::uint32_t, 8> registers{};
};

struct Handle {
    int converter;
    std::array<std::uint8_t, 8> pending{};
    bool has_pending = false;
};

std::mutex mutex;
std::vector<Converter> converters;
std::set<Handle *> handles;
std::set<Handle *> closed;  // kept allocated so their addresses are never reused
int closed_handle_calls = 0;
std::vector<DoubleCall> calls;

std::mutex hold_mutex;
std::condition_variable hold_changed;
int hold = -1;  // the converter whose reads wait, or -1
int held = 0;

void Record(const char *function, const void *handle, std::vector<std::uint64_t> args,
            const std::uint8_t *bytes = nullptr, std::size_t count = 0)
{
    DoubleCall call;
    call.function = function;
    call.handle = reinterpret_cast<std::uintptr_t>(handle);
    call.args = std::move(args);
    if (bytes != nullptr) {
        call.bytes.assign(bytes, bytes + count);
    }
    calls.push_back(std::move(call));
}

Handle *Find(FT_HANDLE handle)
{
    auto *h = static_cast<Handle *>(handle);
    if (closed.count(h) != 0) {
        ++closed_handle_calls;
    }
    return handles.count(h) != 0 ? h : nullptr;
}

void WaitWhileHeld(int converter)
{
    std::unique_lock<std::mutex> lock(hold_mutex);
    if (hold != converter) {
        return;
    }
    ++held;
    hold_changed.notify_all();
    hold_changed.wait(lock, [&] { return hold != converter; });
    --held;
}

}  // namespace

void double_reset(const std::vector<std::string> &descriptions)
{
    const std::lock_guard<std::mutex> lock(mutex);
    for (Handle *h : handles) {
        delete h;
    }
    for (Handle *h : closed) {
        delete h;
    }
    handles.clear();
    closed.clear();
    closed_handle_calls = 0;
    calls.clear();
    converters.clear();
    for (const auto &d : descriptions) {
        converters.push_back(Converter{d, {}, {}});
    }
}

void double_set_memory(int converter, int address, std::uint8_t value)
{
    const std::lock_guard<std::mutex> lock(mutex);
    converters.at(converter).memory[address] = value;
}

std::vector<DoubleCall> double_calls()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

int double_open_handles()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(handles.size());
}

int double_closed_handle_calls()
{
    const std::lock_guard<std::mutex> lock(mutex);
    return closed_handle_calls;
}

void double_hold_reads(int converter)
{
    const std::lock_guard<std::mutex> lock(hold_mutex);
    hold = converter;
    hold_changed.notify_all();
}

int double_held_reads()
{
    const std::lock_guard<std::mutex> lock(hold_mutex);
    return held;
}

extern "C" {

__attribute__((visibility("default"))) FT_STATUS FT_ListDevices(void *pArg1, void *pArg2,
                                                                DWORD Flags)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto index = reinterpret_cast<std::uintptr_t>(pArg1);
    if (Flags & FT_LIST_NUMBER_ONLY) {
        Record("FT_ListDevices", nullptr, {0, Flags});
        *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(converters.size());
        return FT_OK;
    }
    Record("FT_ListDevices", nullptr, {index, reinterpret_cast<std::uintptr_t>(pArg2) != 0, Flags});
    if (index >= converters.size()) {
        return FT_DEVICE_NOT_FOUND;
    }
    std::snprintf(static_cast<char *>(pArg2), 64, "%s", converters[index].description.c_str());
    return FT_OK;
}

__attribute__((visibility("default"))) FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    const std::lock_guard<std::mutex> lock(mutex);
    auto *h = new Handle{deviceNumber};
    handles.insert(h);
    *pHandle = h;
    Record("FT_Open", h, {static_cast<std::uint64_t>(deviceNumber)});
    return FT_OK;
}

__attribute__((visibility("default"))) FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    const std::lock_guard<std::mutex> lock(mutex);
    Record("FT_Close", ftHandle, {});
    Handle *h = Find(ftHandle);
    if (h == nullptr) {
        return FT_INVALID_HANDLE;
    }
    handles.erase(h);
    closed.insert(h);
    return FT_OK;
}

#define DOUBLE_CONFIG_CALL(name, params, args)                        \
    __attribute__((visibility("default"))) FT_STATUS name params      \
    {                                                                 \
        const std::lock_guard<std::mutex> lock(mutex);                \
        Record(#name, ftHandle, args);                                \
        return Find(ftHandle) != nullptr ? FT_OK : FT_INVALID_HANDLE; \
    }

DOUBLE_CONFIG_CALL(FT_ResetDevice, (FT_HANDLE ftHandle), {})
DOUBLE_CONFIG_CALL(FT_SetTimeouts, (FT_HANDLE ftHandle, ULONG r, ULONG w),
                   (std::vector<std::uint64_t>{r, w}))
DOUBLE_CONFIG_CALL(FT_SetBaudRate, (FT_HANDLE ftHandle, ULONG baud), {baud})
DOUBLE_CONFIG_CALL(FT_SetDataCharacteristics,
                   (FT_HANDLE ftHandle, UCHAR bits, UCHAR stop, UCHAR parity),
                   (std::vector<std::uint64_t>{bits, stop, parity}))

__attribute__((visibility("default"))) FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer,
                                                          DWORD dwBytesToWrite,
                                                          DWORD *lpBytesWritten)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto *frame = static_cast<const std::uint8_t *>(lpBuffer);
    Record("FT_Write", ftHandle, {dwBytesToWrite}, frame, dwBytesToWrite);
    Handle *h = Find(ftHandle);
    if (h == nullptr) {
        return FT_INVALID_HANDLE;
    }
    Converter &c = converters.at(h->converter);
    std::array<std::uint8_t, 8> reply{0x00,     0x23,     frame[2], frame[3],
                                      frame[4], frame[5], frame[6], 0x24};
    const std::uint32_t word = (std::uint32_t{frame[3]} << 24) | (std::uint32_t{frame[4]} << 16) |
                               (std::uint32_t{frame[5]} << 8) | frame[6];
    const int code = frame[2];
    if (code == 0x0D) {
        const auto it = c.memory.find(frame[3] | (frame[4] << 8));
        reply[5] = it != c.memory.end() ? it->second : 0;
    } else if (code == 0x0A || (code >= 1 && code <= 7)) {
        c.registers[code == 0x0A ? 0 : code] = word;
    } else if (code == 0x0B || code == 0x00) {
        const std::uint32_t r = c.registers[code == 0x0B ? 0 : (frame[3] & 7)];
        reply = {0x00,
                 0x23,
                 frame[2],
                 std::uint8_t(r >> 24),
                 std::uint8_t(r >> 16),
                 std::uint8_t(r >> 8),
                 std::uint8_t(r),
                 0x24};
    }
    h->pending = reply;
    h->has_pending = true;
    *lpBytesWritten = dwBytesToWrite;
    return FT_OK;
}

__attribute__((visibility("default"))) FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer,
                                                         DWORD dwBytesToRead,
                                                         DWORD *lpBytesReturned)
{
    int converter = -1;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (const Handle *h = Find(ftHandle)) {
            converter = h->converter;
        }
    }
    WaitWhileHeld(converter);
    const std::lock_guard<std::mutex> lock(mutex);
    Handle *h = Find(ftHandle);
    if (h == nullptr) {
        Record("FT_Read", ftHandle, {dwBytesToRead});
        return FT_INVALID_HANDLE;
    }
    const DWORD n = h->has_pending ? std::min<DWORD>(dwBytesToRead, 8) : 0;
    std::memcpy(lpBuffer, h->pending.data(), n);
    h->has_pending = false;
    *lpBytesReturned = n;
    Record("FT_Read", ftHandle, {dwBytesToRead}, h->pending.data(), n);
    return FT_OK;
}

}  // extern "C"
