// SPDX-License-Identifier: MIT
// Opening one converter by its enumeration index and configuring its link to
// the unit: reset, 2000 ms read and write time-outs, 19230 baud, 8N1.
#ifndef VONTREL_LINK_OPEN_CONVERTER_H
#define VONTREL_LINK_OPEN_CONVERTER_H

#include <optional>

#include "d2xx/ftd2xx.h"

namespace vontrel {

// Resets the converter and sets the unit's line up on it, with the given
// read time-out and the unit's write time-out: FT_ResetDevice,
// FT_SetTimeouts, FT_SetBaudRate, FT_SetDataCharacteristics. Each result is
// passed to `record` as it returns; the first failure ends the sequence.
// Returns FT_OK or that failure.
template <typename Record>
FT_STATUS ConfigureLink(FT_HANDLE handle, ULONG read_timeout_ms, Record &&record);

// Opens, resets and configures converter `index`. Each D2XX result is
// stored in *status as it returns; the first failure ends the attempt, and
// a converter that was opened is closed again (its status is not stored),
// so nullopt never leaves a handle open.
std::optional<FT_HANDLE> OpenConverter(unsigned long *status, int index);

// Closes a converter that OpenConverter opened and that turned out unusable.
// Its status is not stored: the caller reports the step that failed.
void AbandonConverter(FT_HANDLE handle);

}  // namespace vontrel

#include "protocol/unit_protocol.h"

namespace vontrel {

static_assert(kWordLength == FT_BITS_8 && kStopBits == FT_STOP_BITS_1 && kParity == FT_PARITY_NONE);

template <typename Record>
FT_STATUS ConfigureLink(FT_HANDLE handle, ULONG read_timeout_ms, Record &&record)
{
    FT_STATUS s = FT_OK;
    const auto step = [&](FT_STATUS result) {
        record(result);
        s = result;
        return result == FT_OK;
    };
    (void)(step(FT_ResetDevice(handle)) &&
           step(FT_SetTimeouts(handle, read_timeout_ms, kWriteTimeoutMs)) &&
           step(FT_SetBaudRate(handle, kBaudRate)) &&
           step(FT_SetDataCharacteristics(handle, kWordLength, kStopBits, kParity)));
    return s;
}

}  // namespace vontrel

#endif
