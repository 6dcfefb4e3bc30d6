// SPDX-License-Identifier: MIT
#include "fuzz/scripted_d2xx.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "link/link.h"
#include "protocol/unit_protocol.h"
#include "synth/register_image.h"

namespace scripted {
namespace {

struct Handle {
    int index;
};

FuzzedDataProvider *input = nullptr;
std::set<Handle *> live;
long calls = 0;
int converters = 0;
FT_STATUS last = FT_OK;
struct Answered {
    FT_STATUS status;
    bool short_read;
};
std::vector<Answered> history;  // every call's answer, in order

using vontrel::kDefaultWords;

// Mostly FT_OK, so that runs get deep; an exhausted input answers FT_OK.
FT_STATUS NextStatus()
{
    const auto b = input->ConsumeIntegral<std::uint8_t>();
    return b < 192 ? FT_OK : static_cast<FT_STATUS>(b % 20);
}

FT_STATUS Answer(FT_STATUS status)
{
    ++calls;
    last = status;
    history.push_back({status, false});
    return status;
}

Handle *Live(FT_HANDLE handle)
{
    auto *h = static_cast<Handle *>(handle);
    Require(live.count(h) == 1);
    return h;
}

bool Identity(unsigned a)
{
    return a <= 9 || a == 45 || (a >= 85 && a <= 840);
}

void CheckFrame(const std::uint8_t *f)
{
    Require(f[0] == 0x00 && f[1] == 0x21 && f[7] == 0x40);
    const unsigned address = f[3] | unsigned{f[4]} << 8;
    const std::uint32_t word =
        std::uint32_t{f[3]} << 24 | std::uint32_t{f[4]} << 16 | std::uint32_t{f[5]} << 8 | f[6];
    switch (f[2]) {
        case 0x0D:  // memory read: identity block, stored setting, tables
            Require(Identity(address) && f[5] == 0 && f[6] == 0);
            break;
        case 0x0C:  // memory write: only the three setting bytes
            Require((address == 83 || address == 84 || address == 45) && f[6] == 0);
            break;
        case 0x00:
            Require(f[3] >= 1 && f[3] <= 7 && f[4] == 0 && f[5] == 0 && f[6] == 0);
            break;
        case 0x0B:
        case 0x0E:
        case 0xFF:
            Require(word == 0);
            break;
        case 0x0A:
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
        case 0x07: {
            const int reg = f[2] == 0x0A ? 0 : f[2];
            Require((word & 0x1F) == (kDefaultWords[reg] & 0x1F));
            Require(reg != 5 || word == kDefaultWords[5]);
            Require(reg != 7 || word == kDefaultWords[7]);
            Require(reg != 0 || (word & 0xFF) == 0);
            break;
        }
        default:
            Require(false);
    }
}

}  // namespace

void Begin(FuzzedDataProvider *in)
{
    for (Handle *h : live) {
        delete h;
    }
    live.clear();
    input = in;
    calls = 0;
    converters = 0;
    last = FT_OK;
    history.clear();
}

int LiveHandles()
{
    return static_cast<int>(live.size());
}

long Calls()
{
    return calls;
}

FT_STATUS LastStatus()
{
    return last;
}

bool IsFirstFailureSince(unsigned long status, long since)
{
    bool short_before = false;
    for (auto it = history.begin() + since; it != history.end(); ++it) {
        if (it->status != FT_OK) {
            return status == it->status || (short_before && status == FT_IO_ERROR);
        }
        short_before = short_before || it->short_read;
    }
    return status == FT_OK || (short_before && status == FT_IO_ERROR);
}

void Require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

}  // namespace scripted

using namespace scripted;  // NOLINT(google-build-using-namespace)

extern "C" {

FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags)
{
    const FT_STATUS status = NextStatus();
    if (Flags == FT_LIST_NUMBER_ONLY) {
        Require(pArg1 != nullptr && pArg2 == nullptr);
        converters = input->ConsumeIntegralInRange(0, 4);
        std::memcpy(pArg1, &converters, sizeof converters);
        return Answer(status);
    }
    Require(Flags == (FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) && pArg2 != nullptr);
    Require(reinterpret_cast<std::uintptr_t>(pArg1) < static_cast<std::uintptr_t>(converters));
    // The whole 64-byte buffer is written, as a converter library may.
    char description[64] = {};
    const auto pick = input->ConsumeIntegral<std::uint8_t>();
    std::strcpy(description, pick < 160 ? "Vontrel" : pick < 224 ? "Other" : "");
    std::memcpy(pArg2, description, sizeof description);
    return Answer(status);
}

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    Require(deviceNumber >= 0 && deviceNumber < converters && pHandle != nullptr);
    const FT_STATUS status = NextStatus();
    if (status == FT_OK) {
        auto *h = new Handle{deviceNumber};
        live.insert(h);
        *pHandle = h;
    }
    return Answer(status);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    Handle *h = Live(ftHandle);
    live.erase(h);
    delete h;
    return Answer(NextStatus());
}

FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle)
{
    Live(ftHandle);
    return Answer(NextStatus());
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
{
    Live(ftHandle);
    // The unit's time-outs, or the short read time-out of a link being put
    // back in step.
    Require((ReadTimeout == vontrel::kReadTimeoutMs || ReadTimeout == vontrel::kQuietMs) &&
            WriteTimeout == vontrel::kWriteTimeoutMs);
    return Answer(NextStatus());
}

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate)
{
    Live(ftHandle);
    Require(BaudRate == 19230);
    return Answer(NextStatus());
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits,
                                    UCHAR Parity)
{
    Live(ftHandle);
    Require(WordLength == FT_BITS_8 && StopBits == FT_STOP_BITS_1 && Parity == FT_PARITY_NONE);
    return Answer(NextStatus());
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten)
{
    Live(ftHandle);
    Require(lpBuffer != nullptr && dwBytesToWrite == 8 && lpBytesWritten != nullptr);
    CheckFrame(static_cast<const std::uint8_t *>(lpBuffer));
    const FT_STATUS status = NextStatus();
    *lpBytesWritten = input->ConsumeIntegralInRange<DWORD>(0, 8);
    Answer(status);
    history.back().short_read = status == FT_OK && *lpBytesWritten < 8;  // a time-out
    return status;
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned)
{
    Live(ftHandle);
    // A reply, the rest of a reply the unit still owes (1 to 8 bytes), or
    // what a link being put back in step reads and discards.
    const bool reply = dwBytesToRead >= 1 && dwBytesToRead <= vontrel::kFrameSize;
    Require(lpBuffer != nullptr && (reply || dwBytesToRead == 64) && lpBytesReturned != nullptr);
    const FT_STATUS status = NextStatus();
    // Mostly whole responses, and mostly a quiet line while discarding; an
    // exhausted input answers 8 zero bytes, or nothing while discarding.
    const auto pick = input->ConsumeIntegral<std::uint8_t>();
    const DWORD count =
        reply ? (pick < 224 ? dwBytesToRead : pick % dwBytesToRead) : (pick < 192 ? 0 : pick % 65);
    const std::vector<std::uint8_t> bytes = input->ConsumeBytes<std::uint8_t>(count);
    std::memset(lpBuffer, 0, count);
    if (!bytes.empty()) {
        std::memcpy(lpBuffer, bytes.data(), bytes.size());
    }
    *lpBytesReturned = count;
    Answer(status);
    // Either can make the export report FT_IO_ERROR without a failed call:
    // a reply that came short, or bytes found behind a reply.
    history.back().short_read = status == FT_OK && (reply ? count < dwBytesToRead : count > 0);
    return status;
}

}  // extern "C"
