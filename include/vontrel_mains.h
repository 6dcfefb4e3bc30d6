// SPDX-License-Identifier: MIT
/*
 * libvontrel-mains: the mains switch that powers a lab's RF chain, a USB
 * converter whose eight data lines drive eight outlets. A library of its
 * own beside libvontrel: none of libvontrel's eight exports reaches it, and
 * it reaches no unit.
 *
 *     unsigned long status;
 *     int sw;
 *     if (VontrelMains_Open(&status, NULL, NULL, &sw) == 0) {
 *         VontrelMains_SetOutlet(&status, sw, 3, 0);   // outlet 3 off
 *         VontrelMains_Close(sw);
 *     }
 *
 * THE SWITCH
 *   A mains switch is a converter whose description begins with the text
 *   the caller gives (VONTREL_MAINS_DEFAULT_DESCRIPTION, "Mains Switch",
 *   when it gives none). Its outlets are numbered 1 to 8: outlet n is data
 *   line n-1 of the converter, and it is on while its line is at 1. The
 *   library drives the lines in asynchronous bit-bang mode with all eight
 *   lines outputs, through three D2XX calls besides those that list, open
 *   and close converters: FT_SetBitMode, FT_GetBitMode (which reads the
 *   lines) and FT_Write of one byte (which sets them).
 *   A switch's description must not begin with the first letter of
 *   "Vontrel": libvontrel takes every such converter for a unit.
 *
 * OPENING KEEPS THE OUTLETS AS THEY ARE
 *   VontrelMains_Open reads the lines first (FT_GetBitMode), then turns
 *   bit-bang on with every line an output (FT_SetBitMode) and at once
 *   writes the byte it read (FT_Write), so every outlet stays as it was: a
 *   switch that is already in bit-bang mode (opened before since it was
 *   plugged in) does not change at all. A converter fresh from power-up
 *   has its lines as inputs until then; one whose output latch differs
 *   from what its lines read may drive the latch's levels for the time
 *   between the two calls (well under a relay's reaction time).
 *   Closing a switch leaves bit-bang on and the outlets as they are: the
 *   outlets keep their state for as long as the switch has USB power.
 *
 * STATUS
 *   Every function but VontrelMains_Close takes `unsigned long *status`
 *   first and keeps the FIRST failure in it: on return it is FT_OK (0)
 *   only when every D2XX call of the function succeeded; otherwise it holds
 *   the status of the first call that failed, and a later success never
 *   hides it. include/vontrel_status.h names every code. Codes the library
 *   stores itself, without a D2XX call:
 *     FT_INVALID_HANDLE (1)         the handle is not a switch this process
 *                                   opened (never opened, or closed).
 *     FT_DEVICE_NOT_FOUND (2)       no converter matches the description
 *                                   (and serial) asked for.
 *     FT_IO_ERROR (4)               FT_Write took a byte and reported that
 *                                   it sent none.
 *     FT_INSUFFICIENT_RESOURCES (5) the table of open switches is full
 *                                   (VONTREL_MAINS_MAX_OPEN) or memory ran out.
 *     FT_INVALID_PARAMETER (6)      a required pointer is null, an outlet is
 *                                   not 1 to 8, or a description is empty or
 *                                   too long; no D2XX call is made.
 *   A null `status` makes every function do nothing and return -1.
 *   Functions that return int return 0 when every step succeeded and -1
 *   otherwise; outputs are written only on success unless said otherwise.
 *
 * ONE AT A TIME
 *   A switch is open in one process at a time, like any converter: opening
 *   one another program holds fails with FT_DEVICE_NOT_OPENED.
 *
 * THREADS
 *   Every function may be called from any thread. Calls on one switch run
 *   one after another (the library serialises them, so that a read of the
 *   lines and the write that follows it are never split); calls on
 *   different switches are independent. VontrelMains_Close waits for the
 *   calls in flight on that switch.
 *
 * Nothing is logged, retried or kept between calls but the table of open
 * switches; no file or environment variable is read.
 */
#ifndef VONTREL_MAINS_H
#define VONTREL_MAINS_H

#ifdef __cplusplus
extern "C" {
#endif

#define VONTREL_MAINS_VERSION_MAJOR 0
#define VONTREL_MAINS_VERSION_MINOR 1
#define VONTREL_MAINS_VERSION_PATCH 0
#define VONTREL_MAINS_VERSION_STRING "0.1.0"

#if defined(_WIN32)
#define VONTREL_MAINS_API
#else
#define VONTREL_MAINS_API __attribute__((visibility("default")))
#endif

/** Outlets of a switch, numbered 1 to VONTREL_MAINS_OUTLETS. */
#define VONTREL_MAINS_OUTLETS 8

/** The description a switch's converter is found by when the caller gives
 * none: converters whose description begins with it. */
#define VONTREL_MAINS_DEFAULT_DESCRIPTION "Mains Switch"

/** The environment variable through which the vontrel programs, the Python
 * package and the serial D2XX library take another description; the
 * library itself reads no variable. */
#define VONTREL_MAINS_DESCRIPTION_VARIABLE "VONTREL_MAINS_DESCRIPTION"

/** The size of a description or serial text with its terminating zero. */
#define VONTREL_MAINS_TEXT_SIZE 64

/** The most switches one process has open at once. */
#define VONTREL_MAINS_MAX_OPEN 64

/** One switch found by VontrelMains_List. */
typedef struct VontrelMainsSwitch {
    int index;                                 /**< its converter's enumeration index */
    char description[VONTREL_MAINS_TEXT_SIZE]; /**< the converter's description */
    char serial[VONTREL_MAINS_TEXT_SIZE];      /**< the converter's serial string */
} VontrelMainsSwitch;

#if defined(__GNUC__)
#define VONTREL_MAINS_CHECK __attribute__((warn_unused_result))
#else
#define VONTREL_MAINS_CHECK
#endif

/**
 * @brief Lists the mains switches attached: the converters whose description
 * begins with `description`, in enumeration order.
 *
 * D2XX calls: FT_ListDevices for the count, then for each converter (up to
 * 1024) its description and, for each one that matches, its serial string.
 * A converter whose description cannot be read is skipped after its status
 * is recorded; the walk goes on.
 *
 * @param[out] status    the first failure, FT_OK when none (see STATUS).
 * @param description    the description's beginning; NULL for
 *                       VONTREL_MAINS_DEFAULT_DESCRIPTION; empty or 64 bytes
 *                       and more is FT_INVALID_PARAMETER.
 * @param[out] switches  `capacity` entries; the first min(*found, capacity)
 *                       are written. May be NULL when capacity is 0.
 * @param capacity       entries in `switches`, 0 or more.
 * @param[out] found     the number of switches found, also beyond capacity;
 *                       written whenever the count of converters was had.
 * @return 0 when the count of converters was had, -1 otherwise.
 * @since 0.1.0
 */
VONTREL_MAINS_API int VontrelMains_List(unsigned long *status, const char *description,
                                        VontrelMainsSwitch *switches, int capacity, int *found);

/**
 * @brief Opens a mains switch and puts it in bit-bang mode, keeping its
 * outlets as they are (see OPENING KEEPS THE OUTLETS AS THEY ARE).
 *
 * The switch is the first converter, in enumeration order, whose
 * description begins with `description` and, when `serial` is given, whose
 * serial string is `serial`. D2XX calls after the walk: FT_Open,
 * FT_SetTimeouts (1000 ms each way), FT_GetBitMode, FT_SetBitMode (mask
 * 0xFF, FT_BITMODE_ASYNC_BITBANG), FT_Write of the byte read. The first
 * that fails ends the open; a converter that was opened is closed again.
 *
 * @param[out] status  the first failure (see STATUS).
 * @param description  as for VontrelMains_List; NULL for the default.
 * @param serial       the switch's serial string, or NULL or "" for the
 *                     first switch found.
 * @param[out] handle  the switch's handle, a small positive int; written
 *                     only on success.
 * @return 0 on success, -1 otherwise.
 * @since 0.1.0
 */
VONTREL_MAINS_API VONTREL_MAINS_CHECK int VontrelMains_Open(unsigned long *status,
                                                            const char *description,
                                                            const char *serial, int *handle);

/**
 * @brief Closes a switch; its outlets stay as they are.
 * @return the D2XX status of FT_Close, or FT_INVALID_HANDLE (no D2XX call)
 * for a handle that is not open.
 * @since 0.1.0
 */
VONTREL_MAINS_API int VontrelMains_Close(int handle);

/**
 * @brief Switches one outlet on (`on` nonzero) or off, leaving the others
 * as they are: reads the lines (FT_GetBitMode) and writes them back with
 * the outlet's line changed (FT_Write of one byte). When the outlet is
 * already so, nothing is written.
 * @param[out] status  the first failure (see STATUS).
 * @param outlet       1 to 8.
 * @return 0 on success, -1 otherwise.
 * @since 0.1.0
 */
VONTREL_MAINS_API int VontrelMains_SetOutlet(unsigned long *status, int handle, int outlet, int on);

/**
 * @brief Reads one outlet: one FT_GetBitMode.
 * @param[out] status  the first failure (see STATUS).
 * @param outlet       1 to 8.
 * @param[out] on      1 when the outlet is on, 0 when off; written only on
 *                     success.
 * @return 0 on success, -1 otherwise.
 * @since 0.1.0
 */
VONTREL_MAINS_API int VontrelMains_GetOutlet(unsigned long *status, int handle, int outlet,
                                             int *on);

/**
 * @brief Reads all eight outlets at once: one FT_GetBitMode.
 * @param[out] status  the first failure (see STATUS).
 * @param[out] lines   bit n-1 set when outlet n is on; written only on
 *                     success.
 * @return 0 on success, -1 otherwise.
 * @since 0.1.0
 */
VONTREL_MAINS_API int VontrelMains_GetOutlets(unsigned long *status, int handle,
                                              unsigned char *lines);

#ifdef __cplusplus
}
#endif

#endif
