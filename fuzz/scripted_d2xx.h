// SPDX-License-Identifier: MIT
// A D2XX library for fuzzing in which every answer (each call's status, the
// converter count and descriptions, the byte count and bytes of each read)
// comes from the fuzzer's input. It also checks what the library sends:
// only live handles, whole well-formed frames, only the documented memory
// addresses, register words with their fixed bits, the link settings.
// Any violation aborts.
#ifndef VONTREL_FUZZ_SCRIPTED_D2XX_H
#define VONTREL_FUZZ_SCRIPTED_D2XX_H

#include <fuzzer/FuzzedDataProvider.h>

#include "d2xx/ftd2xx.h"

namespace scripted {

// Answers come from `in` from now on; every handle is forgotten.
void Begin(FuzzedDataProvider *in);

int LiveHandles();
long Calls();
FT_STATUS LastStatus();
// Whether `status` is what an export that keeps its first failure may
// report for the calls made since call number `since`: FT_OK when none of
// them failed, else the first failed call's status, or FT_IO_ERROR for a
// short read that came before it.
bool IsFirstFailureSince(unsigned long status, long since);

void Require(bool ok);

}  // namespace scripted

#endif
