// SPDX-License-Identifier: MIT
/*
 * The yardstick of the instruction budgets: the plainest implementation of
 * the exports we could write, with the same safety as the library (a
 * thread-safe table of open units with a count of calls in flight per slot,
 * a close that waits for them, the first failure kept in *status, the same
 * refusals of bad arguments) and the same frames and results. It is written
 * straight from the unit's description: 32-bit words with shifts and masks,
 * and pow and log wherever the arithmetic names a power or a logarithm. Not
 * part of the library; benchmarks/ measures both against the same D2XX double.
 * Written in C++ only to take the register defaults, the memory map and the
 * frequency range from the library's headers.
 */
#include "benchmarks/reference/reference.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "d2xx/ftd2xx.h"
#include "protocol/unit_protocol.h"
#include "include/vontrel.h"
#include "include/vontrel_limits.h"
#include "link/open_converter.h"
#include "synth/register_image.h"

namespace mem = vontrel::mem;
using std::int8_t;
using std::intptr_t;
using std::uint16_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;
using std::uintptr_t;

/* --- Table of open units --- */

#define SLOTS 4096
#define CLOSING (UINT64_C(1) << 31)
#define CALLS (CLOSING - 1)

struct slot {
    std::atomic<uint64_t> state; /* token << 32 | closing | calls in flight */
    FT_HANDLE handle;
};

static struct slot slots[SLOTS];
static std::mutex add_lock;
static int next_token = 1;

static int add_unit(FT_HANDLE handle)
{
    int token = 0;
    const std::lock_guard<std::mutex> lock(add_lock);
    for (int tries = 0; tries < SLOTS && token == 0; ++tries) {
        const int t = next_token;
        next_token = next_token == INT32_MAX ? 1 : next_token + 1;
        struct slot *s = &slots[t % SLOTS];
        if (s->state.load() == 0) {
            s->handle = handle;
            s->state.store((uint64_t)t << 32);
            token = t;
        }
    }
    return token;
}

static int token_of(void *handle)
{
    const intptr_t v = (intptr_t)handle;
    return v >= 1 && v <= INT32_MAX ? (int)v : 0;
}

static FT_HANDLE acquire(int token)
{
    if (token == 0) {
        return NULL;
    }
    struct slot *s = &slots[token % SLOTS];
    uint64_t w = s->state.load();
    do {
        if ((int)(w >> 32) != token || (w & CLOSING) != 0) {
            return NULL;
        }
    } while (!s->state.compare_exchange_weak(w, w + 1));
    return s->handle;
}

static void release(int token)
{
    slots[token % SLOTS].state.fetch_sub(1);
}

/* --- Exchanges --- */

static void record(unsigned long *status, FT_STATUS s)
{
    if (*status == FT_OK) {
        *status = s;
    }
}

/* 0 on success, -1 when the write failed, -2 when the read failed or came
 * short (where the reply is used). */
static int transact(unsigned long *status, FT_HANDLE h, uint8_t cmd[8], uint8_t resp[8], int used)
{
    DWORD n = 0;
    FT_STATUS s = FT_Write(h, cmd, 8, &n);
    record(status, s);
    if (s != FT_OK) {
        return -1;
    }
    s = FT_Read(h, resp, 8, &n);
    if (s == FT_OK && used && n < 8) {
        s = FT_IO_ERROR;
    }
    record(status, s);
    return s == FT_OK ? 0 : -2;
}

static int read_memory(unsigned long *status, FT_HANDLE h, unsigned address)
{
    uint8_t cmd[8] = {0x00, 0x21, 0x0D, (uint8_t)address, (uint8_t)(address >> 8), 0, 0, 0x40};
    uint8_t resp[8] = {0};
    return transact(status, h, cmd, resp, 1) == 0 ? resp[5] : 0;
}

static void write_memory(unsigned long *status, FT_HANDLE h, unsigned address, uint8_t value)
{
    uint8_t cmd[8] = {0x00, 0x21, 0x0C, (uint8_t)address, (uint8_t)(address >> 8), value, 0, 0x40};
    uint8_t resp[8];
    transact(status, h, cmd, resp, 0);
}

static void write_register(unsigned long *status, FT_HANDLE h, int r, uint32_t w)
{
    uint8_t cmd[8] = {0x00,
                      0x21,
                      (uint8_t)(r == 0 ? 0x0A : r),
                      (uint8_t)(w >> 24),
                      (uint8_t)(w >> 16),
                      (uint8_t)(w >> 8),
                      (uint8_t)w,
                      0x40};
    uint8_t resp[8];
    transact(status, h, cmd, resp, 0);
}

/* Truncation toward zero modulo 2^32; NaN and infinities give 0. */
static uint32_t u32(double x)
{
    if (!std::isfinite(x)) {
        return 0;
    }
    double m = std::fmod(std::trunc(x), 4294967296.0);
    if (m < 0) {
        m += 4294967296.0;
    }
    return (uint32_t)m;
}

static uint8_t byte_of(double x)
{
    return (uint8_t)u32(x);
}

static int calibration_index(double f)
{
    if (f > VONTREL_FREQ_MAX_MHZ) {
        f = VONTREL_FREQ_MAX_MHZ;
    }
    if (f < VONTREL_FREQ_MIN_MHZ) {
        f = VONTREL_FREQ_MIN_MHZ;
    }
    double k = (f - VONTREL_FREQ_MIN_MHZ) / 25.0;
    if ((k - std::trunc(k)) * 10.0 >= 5.0) {
        k = k + 1.0;
    }
    return std::isnan(k) ? 0 : (int)std::trunc(k);
}

static const auto &defaults = vontrel::kDefaultWords;

/* --- Exports --- */

extern "C" {

int Reference_Open(unsigned long *status, int *devicesFound, int *handles, int *serialNumbers)
{
    if (status == NULL) {
        return -1;
    }
    if (devicesFound == NULL || handles == NULL || serialNumbers == NULL) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    int count = 0;
    *status = FT_ListDevices(&count, NULL, FT_LIST_NUMBER_ONLY);
    if (count < 1) {
        return -1;
    }
    if (*status != FT_OK) {
        return -2;
    }
    if (count > VONTREL_MAX_CONVERTERS) {
        count = VONTREL_MAX_CONVERTERS;
    }
    int found = 0;
    for (int i = 0; i < count; ++i) {
        char description[64] = {0};
        *status = FT_ListDevices((void *)(uintptr_t)i, description,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        if (*status != FT_OK || description[0] != 'V') {
            continue;
        }
        ++found;
        FT_HANDLE h = NULL;
        if ((*status = FT_Open(i, &h)) != FT_OK) {
            continue;
        }
        if ((*status = FT_ResetDevice(h)) != FT_OK ||
            (*status = FT_SetTimeouts(h, vontrel::kReadTimeoutMs, vontrel::kWriteTimeoutMs)) !=
                FT_OK ||
            (*status = FT_SetBaudRate(h, vontrel::kBaudRate)) != FT_OK ||
            (*status = FT_SetDataCharacteristics(h, 8, 0, 0)) != FT_OK) {
            FT_Close(h);
            continue;
        }
        const int low = read_memory(status, h, 0);
        if (*status != FT_OK) {
            FT_Close(h);
            continue;
        }
        const int high = read_memory(status, h, 1);
        const int token = *status == FT_OK ? add_unit(h) : 0;
        if (token == 0) {
            FT_Close(h);
            continue;
        }
        serialNumbers[i] = high * 256 + low;
        handles[i] = token;
    }
    *devicesFound = found;
    return 0;
}

int Reference_Close(void *handle)
{
    const int token = token_of(handle);
    if (token == 0) {
        return (int)FT_INVALID_HANDLE;
    }
    struct slot *s = &slots[token % SLOTS];
    uint64_t w = s->state.load();
    do {
        if ((int)(w >> 32) != token || (w & CLOSING) != 0) {
            return (int)FT_INVALID_HANDLE;
        }
    } while (!s->state.compare_exchange_weak(w, w | CLOSING));
    while ((s->state.load() & CALLS) != 0) {
        sched_yield();
    }
    FT_HANDLE h = s->handle;
    s->state.store(0);
    return (int)FT_Close(h);
}

int Reference_ReadInfo(unsigned long *status, void *handle, int *SN, char *fRev, char *hRev,
                       char *calDate, char *IFband)
{
    if (status == NULL) {
        return -1;
    }
    if (SN == NULL || fRev == NULL || hRev == NULL || calDate == NULL || IFband == NULL) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    *status = FT_OK;
    const int token = token_of(handle);
    FT_HANDLE h = acquire(token);
    if (h == NULL) {
        *status = FT_INVALID_HANDLE;
        return -1;
    }
    int result = 0;
    const int b0 = read_memory(status, h, 0);
    if (*status != FT_OK) {
        result = -1;
    } else {
        const int b1 = read_memory(status, h, 1);
        if (*status != FT_OK) {
            result = -2;
        } else {
            *SN = b1 * 256 + b0;
            const int b3 = (int8_t)read_memory(status, h, 3);
            const int b2 = (int8_t)read_memory(status, h, 2);
            snprintf(fRev, VONTREL_FREV_SIZE, "%d.%d", b3, b2);
            hRev[0] = (char)(uint8_t)(65 + read_memory(status, h, 7));
            const int b4 = (int8_t)read_memory(status, h, 4);
            const int b5 = (int8_t)read_memory(status, h, 5);
            const int b6 = (int8_t)read_memory(status, h, 6);
            snprintf(calDate, VONTREL_CALDATE_SIZE, "%02d/%02d/20%02d", b5, b4, b6);
            const int b8 = (int8_t)read_memory(status, h, 8);
            const int b9 = (int8_t)read_memory(status, h, 9);
            snprintf(IFband, VONTREL_IFBAND_SIZE, "%d MHz - %d MHz", b8, b9);
        }
    }
    release(token);
    return result;
}

int Reference_ReadLD(unsigned long *status, void *handle, int *LDstatus)
{
    if (status == NULL) {
        return -1;
    }
    if (LDstatus == NULL) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    *status = FT_OK;
    const int token = token_of(handle);
    FT_HANDLE h = acquire(token);
    if (h == NULL) {
        *status = FT_INVALID_HANDLE;
        *LDstatus = 0;
        return -1;
    }
    uint8_t cmd[8] = {0x00, 0x21, 0x0B, 0, 0, 0, 0, 0x40};
    uint8_t resp[8] = {0};
    *LDstatus = transact(status, h, cmd, resp, 1) == 0 && resp[6] != 0;
    release(token);
    return 0;
}

static void preset_command(unsigned long *status, void *handle, uint8_t code)
{
    if (status == NULL) {
        return;
    }
    *status = FT_OK;
    const int token = token_of(handle);
    FT_HANDLE h = acquire(token);
    if (h == NULL) {
        *status = FT_INVALID_HANDLE;
        return;
    }
    uint8_t cmd[8] = {0x00, 0x21, code, 0, 0, 0, 0, 0x40};
    uint8_t resp[8];
    DWORD n = 0;
    record(status, FT_Write(h, cmd, 8, &n));
    record(status, FT_Read(h, resp, 8, &n));
    release(token);
}

void Reference_Preset(unsigned long *status, void *handle)
{
    preset_command(status, handle, 0xFF);
}

void Reference_SaveUserPreset(unsigned long *status, void *handle)
{
    preset_command(status, handle, 0x0E);
}

int Reference_ReadStatus(unsigned long *status, void *handle, double *Values)
{
    if (status == NULL) {
        return -1;
    }
    if (Values == NULL) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    *status = FT_OK;
    const int token = token_of(handle);
    FT_HANDLE h = acquire(token);
    if (h == NULL) {
        *status = FT_INVALID_HANDLE;
        return -1;
    }
    uint32_t w[8] = {0};
    for (int r = 0; r < 8; ++r) {
        uint8_t cmd[8] = {0x00, 0x21, (uint8_t)(r == 0 ? 0x0B : 0x00), (uint8_t)r, 0, 0, 0, 0x40};
        uint8_t resp[8];
        if (transact(status, h, cmd, resp, 1) == 0) {
            w[r] = (uint32_t)resp[3] << 24 | (uint32_t)resp[4] << 16 | (uint32_t)resp[5] << 8 |
                   resp[6];
        }
    }
    const uint32_t atten = w[0] >> 24, sw = (w[0] >> 19) & 0x1F, flag_b = (w[0] >> 18) & 1;
    const uint32_t mode_code = (w[0] >> 13) & 7, not_flag_a = (w[0] >> 12) & 1;
    const uint32_t ref_divider = (w[1] >> 5) & 0x1FFF, ref_doubler = (w[2] >> 21) & 3;
    const uint32_t int_part = (w[2] >> 5) & 0xFFFF, frac_part = (w[3] >> 5) & 0x1FFFFFF;
    const uint32_t flag_c = (w[4] >> 17) & 1, out_div = (w[6] >> 24) & 3;
    const uint32_t trim_b = (w[6] >> 13) & 0xFF, trim_a = (w[6] >> 5) & 0xFF;

    const double comparison = (10.0 * std::pow(2.0, ref_doubler)) / ref_divider;
    const double oscillator = (int_part + frac_part / std::pow(2.0, 25.0)) * comparison;
    const double f = oscillator / std::pow(2.0, out_div);
    const int k = calibration_index(f);

    const int d = read_memory(status, h, mem::kTableD + k);
    const int c = read_memory(status, h, mem::kTableC + k);
    const int b = read_memory(status, h, mem::kTableB + k);
    const int a = read_memory(status, h, mem::kTableA + k);
    const int stored = read_memory(status, h, mem::kStoredSetting);

    Values[0] = trim_a;
    Values[1] = trim_b;
    Values[2] = f;
    Values[3] = 0.25 * c - 0.25 * d;
    Values[4] = 0.25 * (c - (int)atten);
    Values[5] = 0.25 * atten;
    Values[6] = mode_code == 7 ? 3.0 : mode_code == 4 ? 2.0 : mode_code == 6 ? 1.0 : 0.0;
    Values[7] = stored;
    Values[8] = not_flag_a == 0 ? 1.0 : 0.0;
    Values[9] = Values[0] == a && Values[1] == b ? 2.0 : 0.0;
    Values[10] = sw == 17   ? 0.0
                 : sw == 9  ? 1.0
                 : sw == 26 ? 2.0
                 : sw == 6  ? 3.0
                 : sw == 20 ? 4.0
                            : -1.0;
    Values[11] = flag_b;
    Values[12] = flag_c;
    Values[13] = 0.25 * (c - 127);
    release(token);
    return 0;
}

void Reference_WriteStatus(unsigned long *status, void *handle, double *Values)
{
    if (status == NULL) {
        return;
    }
    if (Values == NULL) {
        *status = FT_INVALID_PARAMETER;
        return;
    }
    *status = FT_OK;
    const int token = token_of(handle);
    FT_HANDLE h = acquire(token);
    if (h == NULL) {
        *status = FT_INVALID_HANDLE;
        return;
    }
    double v[12];
    for (int i = 0; i < 12; ++i) {
        v[i] = Values[i];
    }
    const double mode = v[5];
    if (std::isnan(v[2]) || (mode == 3.0 && std::isnan(v[3]))) {
        *status = FT_INVALID_PARAMETER;
        release(token);
        return;
    }
    write_memory(status, h, mem::kLastTrimA, byte_of(v[0]));
    write_memory(status, h, mem::kLastTrimB, byte_of(v[1]));
    write_memory(status, h, mem::kStoredSetting, byte_of(v[6]));

    double f = v[2];
    if (f > VONTREL_FREQ_MAX_MHZ) {
        f = VONTREL_FREQ_MAX_MHZ;
    }
    if (f < VONTREL_FREQ_MIN_MHZ) {
        f = VONTREL_FREQ_MIN_MHZ;
    }
    const int k = calibration_index(f);
    const int s = f >= 2400.0 ? 0 : f >= 1200.0 ? 1 : f >= 600.0 ? 2 : 3;
    const double osc = std::pow(2.0, s) * f;
    const uint8_t d = byte_of(std::log(std::trunc(osc / 2800.0) + 1.0) / std::log(2.0));
    const double t = 10.0 / ((20.0 / std::pow(2.0, d)) * std::pow(2.0, s));
    const uint16_t r = (uint16_t)(u32(t) + (t - std::trunc(t) != 0.0 ? 1 : 0));
    const double n = ((r * osc) / 10.0) / std::pow(2.0, d);
    const uint16_t int_part = (uint16_t)u32(n);
    const uint32_t frac_part = u32((n - int_part) * std::pow(2.0, 25.0));
    const double offset = ((std::pow(2.0, d) * (10.0 / r)) / std::pow(2.0, s)) * frac_part /
                          std::pow(2.0, 25.0) * 1000.0;
    const int fractional = offset > 10.0;
    const double vco = f >= 2400.0 ? f : 2 * f >= 2400.0 ? 2 * f : 4 * f >= 2400.0 ? 4 * f : 8 * f;
    const double band_step = std::trunc((vco - 300.0) / 25.0);
    const uint32_t band = band_step <= 111 ? 0 : band_step <= 143 ? 1 : band_step <= 172 ? 2 : 3;

    int ta = byte_of(v[0]), tb = byte_of(v[1]);
    if (v[8] != 0.0) {
        ta = read_memory(status, h, mem::kTableA + k);
        tb = read_memory(status, h, mem::kTableB + k);
    }
    const int tc = read_memory(status, h, mem::kTableC + k);
    uint32_t atten;
    if (mode == 3.0) {
        const double code = tc - 4.0 * v[3];
        atten = code < 0.0 ? 0 : code > 127.0 ? 127 : byte_of(code);
    } else {
        atten = byte_of(v[4] / 0.25);
        if (atten > 127) {
            atten = 127;
        }
    }
    const double sw = v[9];
    uint32_t p1 = sw == 0.0   ? 0x88
                  : sw == 1.0 ? 0x48
                  : sw == 2.0 ? 0xD0
                  : sw == 3.0 ? 0x30
                  : sw == 4.0 ? 0xA0
                              : 0x00;
    if (v[10] == 1.0) {
        p1 += 0x04;
    }
    const uint32_t p2 = (mode != 0.0 ? 0x80u : 0) | (mode != 2.0 ? 0x40u : 0) |
                        (mode == 3.0 ? 0x20u : 0) | (v[7] == 0.0 ? 0x10u : 0);
    uint32_t w[8];
    for (int i = 0; i < 8; ++i) {
        w[i] = defaults[i];
    }
    w[0] = atten << 24 | p1 << 16 | p2 << 8 | (defaults[0] & 0xFF);
    w[1] = (w[1] & ~(0x1FFFu << 5)) | (uint32_t)(r & 0x1FFF) << 5;
    w[2] = (w[2] & ~(3u << 26 | 3u << 21 | 0xFFFFu << 5)) | band << 26 | (uint32_t)(d & 3) << 21 |
           (uint32_t)int_part << 5;
    w[3] = (w[3] & ~(0x1FFFFFFu << 5)) | (frac_part & 0x1FFFFFF) << 5;
    if (fractional) {
        w[4] = (w[4] | 1u << 31 | 7u << 18) & ~(1u << 24);
    }
    w[4] = (w[4] & ~(1u << 17)) | (byte_of(v[11]) != 0 ? 1u << 17 : 0);
    const uint32_t not_flag_b = v[10] == 1.0 ? 0 : 1;
    w[4] = (w[4] & ~(1u << 12 | 1u << 5)) | not_flag_b << 12 | not_flag_b << 5;
    w[6] = (w[6] & ~(3u << 26 | 3u << 24 | 0xFFu << 13 | 0xFFu << 5)) | (uint32_t)s << 26 |
           (uint32_t)s << 24 | (uint32_t)tb << 13 | (uint32_t)ta << 5;
    for (int i = 0; i < 8; ++i) {
        write_register(status, h, i, w[i]);
    }
    release(token);
}

}  // extern "C"
