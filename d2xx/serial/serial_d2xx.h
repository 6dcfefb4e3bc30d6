/*
 * What the kernel-tty D2XX library (d2xx/serial) exports besides the nine
 * D2XX calls of d2xx/ftd2xx.h. A program finds it at run time, through
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

/* Why the last D2XX call that failed on this thread failed, in words, with
 * the port and the system's error ("/dev/ttyUSB0: the port is in use: ...");
 * "" when none has. Valid until the thread's next D2XX call. */
const char *vontrel_serial_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
