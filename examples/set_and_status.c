// SPDX-License-Identifier: MIT
/* Opens the first unit, sets 2455 MHz at a chosen level (level mode), waits
 * for lock and prints the status.
 *     set_and_status [level]      level in level units, default 5.0 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "vontrel.h"
#include "vontrel_status.h"

static int failed(const char *call, unsigned long status)
{
    fprintf(stderr, "%s failed: %s (%lu): %s\n", call, vontrel_status_name(status), status,
            vontrel_status_message(status));
    return 1;
}

static int run(void *unit, double level)
{
    unsigned long status = 0;
    double now[VONTREL_READ_STATUS_ENTRIES];
    if (Vontrel_ReadStatus(&status, unit, now) != 0 || status != 0) {
        return failed("Vontrel_ReadStatus", status);
    }

    /* Read-back entries 0..2 keep their index, 4..12 move down by one;
     * 3 (levelMax) and 13 (levelMin) have no write-out entry. */
    double out[VONTREL_WRITE_STATUS_ENTRIES];
    for (int i = VONTREL_READ_trimA; i <= VONTREL_READ_freqMHz; ++i) {
        out[i] = now[i];
    }
    for (int i = VONTREL_READ_level; i <= VONTREL_READ_flagC; ++i) {
        out[i - 1] = now[i];
    }
    out[VONTREL_WRITE_freqMHz] = 2455.0;
    out[VONTREL_WRITE_level] = level;
    out[VONTREL_WRITE_mode] = 3.0; /* the attenuation follows the level */
    Vontrel_WriteStatus(&status, unit, out);
    if (status != 0) {
        return failed("Vontrel_WriteStatus", status);
    }

    int locked = 0;
    const struct timespec poll = {0, 10 * 1000 * 1000};
    for (int tries = 0; tries < 100 && !locked; ++tries) {
        if (Vontrel_ReadLD(&status, unit, &locked) != 0 || status != 0) {
            return failed("Vontrel_ReadLD", status);
        }
        if (!locked) {
            nanosleep(&poll, NULL);
        }
    }

    if (Vontrel_ReadStatus(&status, unit, now) != 0 || status != 0) {
        return failed("Vontrel_ReadStatus", status);
    }
    printf("frequency   %.6f MHz\n", now[VONTREL_READ_freqMHz]);
    printf("level       %.2f (calibrated range %.2f to %.2f)\n", now[VONTREL_READ_level],
           now[VONTREL_READ_levelMin], now[VONTREL_READ_levelMax]);
    printf("attenuation %.2f\n", now[VONTREL_READ_attenuation]);
    printf("mode        %.0f\n", now[VONTREL_READ_mode]);
    printf("lock        %s\n", locked ? "locked" : "NOT locked");

    /* The attenuation code is held within 0..127: a level the unit cannot
     * reach at this frequency is not the level it gives. */
    const double off = now[VONTREL_READ_level] - level;
    if (off >= 0.25 || off <= -0.25) {
        fprintf(stderr, "level %.2f is out of reach at this frequency (%.2f to %.2f)\n", level,
                now[VONTREL_READ_levelMin], now[VONTREL_READ_levelMax]);
        return 1;
    }
    return locked ? 0 : 1;
}

int main(int argc, char **argv)
{
    const double level = argc > 1 ? strtod(argv[1], NULL) : 5.0;
    unsigned long status = 0;
    int found = 0;
    /* Written at each unit's enumeration index: one entry per converter
     * Vontrel_Open may walk. */
    static int handles[VONTREL_MAX_CONVERTERS]; /* 0 is never a handle */
    static int serials[VONTREL_MAX_CONVERTERS];
    if (Vontrel_Open(&status, &found, handles, serials) != 0) {
        return failed("Vontrel_Open", status);
    }
    int first = -1;
    for (int i = 0; i < VONTREL_MAX_CONVERTERS; ++i) {
        if (handles[i] != 0) {
            if (first < 0) {
                first = i;
            } else {
                Vontrel_Close((void *)(intptr_t)handles[i]); /* only the first is used */
            }
        }
    }
    if (first < 0) {
        fprintf(stderr, "no unit found\n");
        return 1;
    }
    printf("unit %d\n", serials[first]);
    void *unit = (void *)(intptr_t)handles[first];
    const int rc = run(unit, level);
    Vontrel_Close(unit);
    return rc;
}
