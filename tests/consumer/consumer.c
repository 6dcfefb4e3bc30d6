// SPDX-License-Identifier: MIT
/* A program built against an installed libvontrel: opens every unit, prints
 * each one's identity and closes it again. Exits 0 when at least one unit
 * answered. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vontrel.h>
#include <vontrel_status.h>

#if VONTREL_VERSION_MAJOR != 0
#error "built against an unexpected major version"
#endif

int main(void)
{
    unsigned long status = 0;
    int found = 0;
    static int handles[VONTREL_MAX_CONVERTERS];
    static int serials[VONTREL_MAX_CONVERTERS];
    if (Vontrel_Open(&status, &found, handles, serials) != 0) {
        fprintf(stderr, "Vontrel_Open failed: %s (%lu)\n", vontrel_status_name(status), status);
        return 1;
    }
    int answered = 0;
    for (int i = 0; i < VONTREL_MAX_CONVERTERS; ++i) {
        if (handles[i] == 0) {
            continue;
        }
        void *handle = (void *)(intptr_t)handles[i];
        int sn = 0;
        char frev[VONTREL_FREV_SIZE], hrev[VONTREL_HREV_SIZE + 1] = {0};
        char cal[VONTREL_CALDATE_SIZE], band[VONTREL_IFBAND_SIZE];
        if (Vontrel_ReadInfo(&status, handle, &sn, frev, hrev, cal, band) == 0 && status == 0) {
            printf("unit %d: firmware %s, hardware %s, calibrated %s, IF %s\n", sn, frev, hrev, cal,
                   band);
            ++answered;
        } else {
            fprintf(stderr, "Vontrel_ReadInfo failed: %s\n", vontrel_status_name(status));
        }
        Vontrel_Close(handle);
    }
    printf("libvontrel %s: %d of %d unit(s) answered\n", VONTREL_VERSION_STRING, answered, found);
    return answered > 0 ? 0 : 1;
}
