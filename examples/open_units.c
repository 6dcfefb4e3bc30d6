// SPDX-License-Identifier: MIT
/* Opens every attached unit and prints its enumeration index and serial
 * number, then closes them again. */
#include <stdint.h>
#include <stdio.h>

#include "vontrel.h"
#include "vontrel_status.h"

int main(void)
{
    unsigned long status = 0;
    int found = 0;
    /* Written at each unit's enumeration index: one entry per converter
     * Vontrel_Open may walk. */
    static int handles[VONTREL_MAX_CONVERTERS];
    static int serials[VONTREL_MAX_CONVERTERS];
    for (int i = 0; i < VONTREL_MAX_CONVERTERS; ++i) {
        handles[i] = 0; /* 0 is never a token: marks "no unit here" */
        serials[i] = -1;
    }
    const int result = Vontrel_Open(&status, &found, handles, serials);
    if (result != 0) {
        fprintf(stderr, "no unit found: Vontrel_Open returned %d, %s (%lu)\n", result,
                vontrel_status_name(status), status);
        return 1;
    }
    printf("%d unit(s) found\n", found);
    for (int i = 0; i < VONTREL_MAX_CONVERTERS; ++i) {
        if (handles[i] != 0) {
            printf("  index %d: serial number %d\n", i, serials[i]);
            Vontrel_Close((void *)(intptr_t)handles[i]);
        }
    }
    return 0;
}
