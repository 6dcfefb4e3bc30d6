// SPDX-License-Identifier: MIT
// One call of each export, ours and the reference implementation's, on an
// open unit of the instant D2XX double: the table that the benchmarks and
// the instruction counter share.
#ifndef VONTREL_BENCH_EXPORT_CALLS_H
#define VONTREL_BENCH_EXPORT_CALLS_H

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "benchmarks/reference/reference.h"
#include "include/vontrel.h"

namespace bench {

inline constexpr int kUnits = 8;  // the instant double's converters, all units

// Tokens of every unit, opened through Vontrel_Open or Reference_Open.
struct Opened {
    std::array<int, kUnits> tokens{};
};

inline void Fail(const char *what)
{
    std::fprintf(stderr, "bench: %s failed\n", what);
    std::exit(1);
}

inline Opened OpenAll(bool reference)
{
    Opened o;
    unsigned long status = 0;
    int found = 0;
    std::array<int, kUnits> serials{};
    const int result = reference ? Reference_Open(&status, &found, o.tokens.data(), serials.data())
                                 : Vontrel_Open(&status, &found, o.tokens.data(), serials.data());
    if (result != 0 || found != kUnits || status != 0) {
        Fail(reference ? "Reference_Open" : "Vontrel_Open");
    }
    return o;
}

inline void CloseAll(const Opened &o, bool reference)
{
    for (const int token : o.tokens) {
        void *handle = reinterpret_cast<void *>(static_cast<std::intptr_t>(token));
        if ((reference ? Reference_Close(handle) : Vontrel_Close(handle)) != 0) {
            Fail("close");
        }
    }
}

// The write-out vectors measured: 2455 MHz in mode 3 with the trims from
// the tables (14 exchanges, fractional mode), and 1000 MHz in mode 0 with
// the trims given (12 exchanges).
inline double kWriteLevel[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 2455, 2, 10, 3,
                                                           5,  0,  1,    2, 1,  1};
inline double kWritePlain[VONTREL_WRITE_STATUS_ENTRIES] = {10, 20, 1000, 0, 10, 0,
                                                           5,  1,  0,    0, 0,  0};

struct Call {
    const char *name;
    void (*ours)(void *handle);
    void (*reference)(void *handle);
};

// Each runs one call and stops the program if it did not succeed.
inline const std::array<Call, 7> kCalls = {{
    {"ReadStatus",
     [](void *h) {
         unsigned long s = 1;
         double v[VONTREL_READ_STATUS_ENTRIES];
         if (Vontrel_ReadStatus(&s, h, v) != 0 || s != 0) {
             Fail("Vontrel_ReadStatus");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         double v[VONTREL_READ_STATUS_ENTRIES];
         if (Reference_ReadStatus(&s, h, v) != 0 || s != 0) {
             Fail("Reference_ReadStatus");
         }
     }},
    {"WriteStatus",
     [](void *h) {
         unsigned long s = 1;
         Vontrel_WriteStatus(&s, h, kWriteLevel);
         if (s != 0) {
             Fail("Vontrel_WriteStatus");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         Reference_WriteStatus(&s, h, kWriteLevel);
         if (s != 0) {
             Fail("Reference_WriteStatus");
         }
     }},
    {"WriteStatusPlain",
     [](void *h) {
         unsigned long s = 1;
         Vontrel_WriteStatus(&s, h, kWritePlain);
         if (s != 0) {
             Fail("Vontrel_WriteStatus");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         Reference_WriteStatus(&s, h, kWritePlain);
         if (s != 0) {
             Fail("Reference_WriteStatus");
         }
     }},
    {"ReadInfo",
     [](void *h) {
         unsigned long s = 1;
         int sn = 0;
         char frev[VONTREL_FREV_SIZE], hrev[VONTREL_HREV_SIZE], cal[VONTREL_CALDATE_SIZE],
             ifb[VONTREL_IFBAND_SIZE];
         if (Vontrel_ReadInfo(&s, h, &sn, frev, hrev, cal, ifb) != 0 || s != 0) {
             Fail("Vontrel_ReadInfo");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         int sn = 0;
         char frev[VONTREL_FREV_SIZE], hrev[VONTREL_HREV_SIZE], cal[VONTREL_CALDATE_SIZE],
             ifb[VONTREL_IFBAND_SIZE];
         if (Reference_ReadInfo(&s, h, &sn, frev, hrev, cal, ifb) != 0 || s != 0) {
             Fail("Reference_ReadInfo");
         }
     }},
    {"ReadLD",
     [](void *h) {
         unsigned long s = 1;
         int ld = 0;
         if (Vontrel_ReadLD(&s, h, &ld) != 0 || s != 0) {
             Fail("Vontrel_ReadLD");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         int ld = 0;
         if (Reference_ReadLD(&s, h, &ld) != 0 || s != 0) {
             Fail("Reference_ReadLD");
         }
     }},
    {"Preset",
     [](void *h) {
         unsigned long s = 1;
         Vontrel_Preset(&s, h);
         if (s != 0) {
             Fail("Vontrel_Preset");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         Reference_Preset(&s, h);
         if (s != 0) {
             Fail("Reference_Preset");
         }
     }},
    {"SaveUserPreset",
     [](void *h) {
         unsigned long s = 1;
         Vontrel_SaveUserPreset(&s, h);
         if (s != 0) {
             Fail("Vontrel_SaveUserPreset");
         }
     },
     [](void *h) {
         unsigned long s = 1;
         Reference_SaveUserPreset(&s, h);
         if (s != 0) {
             Fail("Reference_SaveUserPreset");
         }
     }},
}};

inline void *Handle(const Opened &o, int unit = 0)
{
    return reinterpret_cast<void *>(static_cast<std::intptr_t>(o.tokens[unit]));
}

}  // namespace bench

#endif
