// Opening one converter by its enumeration index and configuring its link to
// the unit: reset, 2000 ms read and write time-outs, 19230 baud, 8N1.
#ifndef VONTREL_LINK_OPEN_CONVERTER_H
#define VONTREL_LINK_OPEN_CONVERTER_H

#include <optional>

#include "d2xx/ftd2xx.h"

namespace vontrel {

inline constexpr ULONG kReadTimeoutMs = 2000;
inline constexpr ULONG kWriteTimeoutMs = 2000;
inline constexpr ULONG kBaudRate = 19230;

// Opens, resets and configures converter `index`. Each D2XX result is
// stored in *status as it returns; the first failure ends the attempt, and
// a converter that was opened is closed again (its status is not stored),
// so nullopt never leaves a handle open.
std::optional<FT_HANDLE> OpenConverter(unsigned long *status, int index);

// Closes a converter that OpenConverter opened and that turned out unusable.
// Its status is not stored: the caller reports the step that failed.
void AbandonConverter(FT_HANDLE handle);

}  // namespace vontrel

#endif
