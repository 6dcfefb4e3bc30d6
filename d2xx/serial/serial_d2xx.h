// SPDX-License-Identifier: MIT
/*
 * What the kernel-tty D2XX library (d2xx/serial) exports besides the D2XX
 * calls of d2xx/ftd2xx.h. A program finds it at run time, through
 * dlsym, in whichever libftd2xx.so it was loaded with; other D2XX libraries
 * do not have it.
 */
#ifndef VONTREL_D2XX_SERIAL_SERIAL_D2XX_H
#define VONTREL_D2XX_SERIAL_SERIAL_D2XX_H

#ifdef __cplusplus
extern "C" {
#endif

/* The symbol's name, for dlsym. */
#define VONTREL_SERIAL_LAST_ERROR "vontrel_serial_last_error"

/* What went wrong in this thread's last D2XX call, in words, with the port
 * and the system's error ("/dev/ttyUSB0: the port is in use: ..."): why it
 * failed, or that a read's time-out passed before every byte came; "" when
 * it went well. Valid until the thread's next D2XX call. */
const char *vontrel_serial_last_error(void);

/* The symbol's name, for dlsym. */
#define VONTREL_SERIAL_OPEN_FAILURES "vontrel_serial_open_failures"

/* Why the FT_Open calls of this thread's walk failed, since its last count
 * (FT_ListDevices with FT_LIST_NUMBER_ONLY): the first three messages,
 * joined by "; ", and how many more ports did not open; "" when every open
 * succeeded. A walk's later calls that succeed do not clear it, so it still
 * says why a unit was missing once the walk is over. Valid until the
 * thread's next FT_Open or count. */
const char *vontrel_serial_open_failures(void);

/* The symbol's name, for dlsym. */
#define VONTREL_SERIAL_BITBANG_SUPPORT "vontrel_serial_bitbang_support"

/* Why this library cannot drive mains switches (it was built without
 * libftdi1), or "" when it can. The text is static. */
const char *vontrel_serial_bitbang_support(void);

#ifdef __cplusplus
}
#endif

#endif
