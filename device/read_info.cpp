// SPDX-License-Identifier: MIT
// Vontrel_ReadInfo: the unit's identity block as a number and four texts.
#include <cstdint>
#include <cstdio>

#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"
#include "protocol/unit_protocol.h"

namespace vontrel {
namespace {

// Identity bytes other than the serial number are printed as signed values.
int Signed(int byte)
{
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(byte));
}

int ReadInfo(unsigned long *status, Link &unit, int *SN, char *fRev, char *hRev, char *calDate,
             char *IFband)
{
    const int serial_low = ReadMemoryByte(status, unit, mem::kSerialLow);
    if (*status != FT_OK) {
        return -1;
    }
    const int serial_high = ReadMemoryByte(status, unit, mem::kSerialHigh);
    if (*status != FT_OK) {
        return -2;
    }
    *SN = mem::SerialNumber(serial_low, serial_high);

    // From here on a failed read counts as the byte 0; only *status tells.
    const int fw_major = Signed(ReadMemoryByte(status, unit, mem::kFirmwareMajor));
    const int fw_minor = Signed(ReadMemoryByte(status, unit, mem::kFirmwareMinor));
    std::snprintf(fRev, VONTREL_FREV_SIZE, "%d.%d", fw_major, fw_minor);

    const int hw = ReadMemoryByte(status, unit, mem::kHardwareRevision);
    hRev[0] = static_cast<char>(static_cast<std::uint8_t>('A' + hw));  // not terminated

    const int date_second = Signed(ReadMemoryByte(status, unit, mem::kCalDateSecond));
    const int date_first = Signed(ReadMemoryByte(status, unit, mem::kCalDateFirst));
    const int year = Signed(ReadMemoryByte(status, unit, mem::kCalYear));
    std::snprintf(calDate, VONTREL_CALDATE_SIZE, "%02d/%02d/20%02d", date_first, date_second, year);

    const int if_first = Signed(ReadMemoryByte(status, unit, mem::kIfBandFirst));
    const int if_second = Signed(ReadMemoryByte(status, unit, mem::kIfBandSecond));
    std::snprintf(IFband, VONTREL_IFBAND_SIZE, "%d MHz - %d MHz", if_first, if_second);
    return 0;
}

}  // namespace
}  // namespace vontrel

extern "C" int Vontrel_ReadInfo(unsigned long *status, void *handle, int *SN, char *fRev,
                                char *hRev, char *calDate, char *IFband)
{
    const bool pointers_given = SN != nullptr && fRev != nullptr && hRev != nullptr &&
                                calDate != nullptr && IFband != nullptr;
    return vontrel::RunOnUnit(status, handle, pointers_given, -1, [&](vontrel::Link &unit) {
        return vontrel::ReadInfo(status, unit, SN, fRev, hRev, calDate, IFband);
    });
}
