// SPDX-License-Identifier: MIT
// A D2XX library that answers at once: converters that are all units, each
// with a device memory and eight registers, and nothing else. No lock, no
// log, no allocation after the first call: what it costs per call is a
// copy of eight bytes, so benchmarks and the allocation test see the
// library's own work. Not thread-safe; one thread at a time.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "d2xx/ftd2xx.h"
#include "protocol/unit_protocol.h"
#include "synth/register_image.h"

namespace {

constexpr int kUnits = 8;  // all of them units

// Any number of handles may be open on a unit at once, so the library and
// the reference implementation can hold the same units.
struct Unit {
    std::array<std::uint8_t, vontrel::mem::kTablesEnd> memory{};
    std::array<std::uint32_t, vontrel::kRegisterCount> registers{};
    std::array<std::uint8_t, 8> reply{};
    bool answered = false;  // a frame was written whose reply is not read yet
};

std::array<Unit, kUnits> units;
bool filled = false;

void Fill()
{
    namespace mem = vontrel::mem;
    for (std::size_t i = 0; i < units.size(); ++i) {
        Unit &u = units[i];
        const auto serial = static_cast<std::uint16_t>(0x1000 + i);
        u.memory[mem::kSerialLow] = static_cast<std::uint8_t>(serial);
        u.memory[mem::kSerialHigh] = static_cast<std::uint8_t>(serial >> 8);
        const std::uint8_t identity[] = {2, 5, 7, 12, 11, 2, 60, 80};
        std::memcpy(&u.memory[mem::kFirmwareMinor], identity, sizeof identity);
        for (int k = 0; k < mem::kTableEntries; ++k) {
            u.memory[mem::kTableA + k] = 195;
            u.memory[mem::kTableB + k] = 92;
            u.memory[mem::kTableC + k] = 100;
            u.memory[mem::kTableD + k] = 8;
        }
        u.registers = vontrel::kDefaultWords;
    }
    filled = true;
}

Unit *Of(FT_HANDLE handle)
{
    auto *u = static_cast<Unit *>(handle);
    return u >= units.data() && u < units.data() + units.size() ? u : nullptr;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) FT_STATUS FT_ListDevices(void *pArg1, void *pArg2,
                                                                DWORD Flags)
{
    if (!filled) {
        Fill();
    }
    if ((Flags & FT_LIST_NUMBER_ONLY) != 0) {
        *static_cast<DWORD *>(pArg1) = kUnits;
        return FT_OK;
    }
    std::snprintf(static_cast<char *>(pArg2), 64, "Vontrel Synthesizer");
    return FT_OK;
}

__attribute__((visibility("default"))) FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    if (deviceNumber < 0 || deviceNumber >= kUnits) {
        return FT_DEVICE_NOT_FOUND;
    }
    *pHandle = &units[deviceNumber];
    return FT_OK;
}

__attribute__((visibility("default"))) FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    return Of(ftHandle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

#define INSTANT_CONFIG_CALL(name, params)                           \
    __attribute__((visibility("default"))) FT_STATUS name params    \
    {                                                               \
        return Of(ftHandle) != nullptr ? FT_OK : FT_INVALID_HANDLE; \
    }

INSTANT_CONFIG_CALL(FT_ResetDevice, (FT_HANDLE ftHandle))
INSTANT_CONFIG_CALL(FT_SetTimeouts, (FT_HANDLE ftHandle, ULONG, ULONG))
INSTANT_CONFIG_CALL(FT_SetBaudRate, (FT_HANDLE ftHandle, ULONG))
INSTANT_CONFIG_CALL(FT_SetDataCharacteristics, (FT_HANDLE ftHandle, UCHAR, UCHAR, UCHAR))

__attribute__((visibility("default"))) FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer,
                                                          DWORD dwBytesToWrite,
                                                          DWORD *lpBytesWritten)
{
    Unit *u = Of(ftHandle);
    if (u == nullptr) {
        return FT_INVALID_HANDLE;
    }
    const auto *f = static_cast<const std::uint8_t *>(lpBuffer);
    std::memcpy(u->reply.data(), f, 8);
    u->answered = true;
    const std::uint32_t word =
        std::uint32_t{f[3]} << 24 | std::uint32_t{f[4]} << 16 | std::uint32_t{f[5]} << 8 | f[6];
    const unsigned address = f[3] | f[4] << 8;
    switch (f[2]) {
        case 0x0D:
            u->reply[5] = address < u->memory.size() ? u->memory[address] : 0;
            break;
        case 0x0C:
            if (address < u->memory.size()) {
                u->memory[address] = f[5];
            }
            break;
        case 0x0A:
            u->registers[0] = word;
            break;
        case 0x0B:
        case 0x00: {
            const std::uint32_t r = u->registers[f[2] == 0x0B ? 0 : f[3] & 7];
            u->reply[3] = static_cast<std::uint8_t>(r >> 24);
            u->reply[4] = static_cast<std::uint8_t>(r >> 16);
            u->reply[5] = static_cast<std::uint8_t>(r >> 8);
            u->reply[6] = static_cast<std::uint8_t>(f[2] == 0x0B ? r | 1 : r);  // locked
            break;
        }
        default:
            if (f[2] >= 1 && f[2] <= 7) {
                u->registers[f[2]] = word;
            }
    }
    *lpBytesWritten = dwBytesToWrite;
    return FT_OK;
}

__attribute__((visibility("default"))) FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer,
                                                         DWORD dwBytesToRead,
                                                         DWORD *lpBytesReturned)
{
    Unit *u = Of(ftHandle);
    if (u == nullptr) {
        return FT_INVALID_HANDLE;
    }
    // Each reply is read once: a read with none waiting finds the line quiet.
    const DWORD n = !u->answered ? 0 : dwBytesToRead < 8 ? dwBytesToRead : 8;
    u->answered = false;
    std::memcpy(lpBuffer, u->reply.data(), n);
    *lpBytesReturned = n;
    return FT_OK;
}

}  // extern "C"
