// SPDX-License-Identifier: MIT
/**
 * @file vontrel.h
 * @brief The C interface of libvontrel: the eight exported functions.
 *
 * libvontrel: driver library for the Vontrel USB RF synthesizer unit
 * (300 to 5000 MHz, fractional-N, attenuation and level, mode and switch
 * settings, lock detect, device memory with identity block and calibration
 * tables), reached through a USB serial converter and its D2XX library.
 *
 * The sections below (groups in the API reference) say what holds for
 * every export; each export then says what it does.
 */
#ifndef VONTREL_H
#define VONTREL_H

#include "vontrel_version.h" /* VONTREL_VERSION_MAJOR, ..._STRING */

/**
 * @defgroup vontrel_link The link
 * Every exchange with a unit is one 8-byte command frame written to the
 * converter followed by one 8-byte response frame read back:
 * @code{.unparsed}
 *     00 21 code p0 p1 p2 p3 40
 * @endcode
 * Nothing is retried, cached or logged; nothing is kept between calls
 * except the library's table of open units, which also records whether
 * each unit's link is in step (see @ref vontrel_stall).
 *
 * @since 0.1.0
 */

/**
 * @defgroup vontrel_status Status
 * Every export except Vontrel_Close takes `unsigned long *status` first.
 * Vontrel_ReadInfo, Vontrel_ReadLD, Vontrel_Preset, Vontrel_SaveUserPreset,
 * Vontrel_ReadStatus and Vontrel_WriteStatus keep the FIRST failure in it:
 * on return it is FT_OK (0) only when every converter (D2XX) call of the
 * export succeeded and every reply that is used came whole; otherwise it
 * holds the status of the first call that failed, and a later success
 * never hides it. A D2XX call that returns an error does not stop a
 * multi-exchange export: the same exchanges are made in the same order, with
 * a failed read counting as 0, so *status is the one thing that tells. A
 * reply that does not come whole does stop it (see @ref vontrel_stall).
 * Vontrel_Open keeps the status of its LAST call instead (a converter that
 * cannot be opened is skipped, and its missing entry tells the caller). Each
 * export below also says which failures it reports through its result.
 * include/vontrel_status.h gives every code a name and a message. Codes the
 * library stores itself, without a D2XX call:
 * @code{.unparsed}
 *   FT_INVALID_HANDLE (1)         the handle is not an open unit of this
 *                                 process (never opened, closed, or null);
 *                                 no D2XX call is made.
 *   FT_IO_ERROR (4)               a read delivered fewer than 8 bytes, or a
 *                                 write sent fewer than 8, by its time-out
 *                                 (recorded at its place, like any
 *                                 failure), whether or not the reply's
 *                                 bytes are used; what a unit owed did not
 *                                 come; a reply belongs to another command;
 *                                 or the link could not be put back in
 *                                 step (see @ref vontrel_stall).
 *   FT_INSUFFICIENT_RESOURCES (5) Vontrel_Open found its table of open
 *                                 units full (4096 units open at once in
 *                                 the process) or could not take a lock.
 *   FT_INVALID_PARAMETER (6)      a required pointer is null, or
 *                                 Vontrel_WriteStatus was asked for a NaN
 *                                 frequency or a NaN level in mode 3; no
 *                                 D2XX call is made.
 * @endcode
 * A null `status` makes every export do nothing (int results are -1).
 *
 * @since 0.1.0
 */

/**
 * @defgroup vontrel_stall A unit that stalls
 * A unit that does not answer within the 2000 ms read time-out (busy, a
 * USB hiccup, a unit that went away) gives a reply that does not come
 * whole. The export then stops at that exchange: its remaining exchanges
 * are not made and count as failed reads (outputs as each export says
 * for a failed read), *status holds FT_IO_ERROR, and the call has cost
 * one time-out, not one per exchange. Nothing after it is written to the
 * unit.
 * The library keeps books of what each unit owes: every frame the unit
 * took owes exactly 8 reply bytes. The bytes of a reply that came short
 * are still owed, and the next exchange on the unit, in a later call,
 * first reads exactly those (waiting up to the read time-out) and only
 * then sends its own frame: nothing is thrown away that the books
 * account for, and a unit that stalls again and again afterwards only
 * makes calls slower or fail, never shifted. A call whose wait for what
 * is owed times out sends nothing and fails with FT_IO_ERROR; a debt that
 * brings no byte for two such waits in a row is taken as lost.
 * Where the books cannot be kept (a read or write that failed with an
 * error, a write that went out in part, a debt taken as lost, a reply
 * that belongs to another command), the next exchange purges the link:
 * it resets the converter, sets the line up again, reads and discards
 * until the line has been quiet for 50 ms (at most 2 s; a line that never
 * falls quiet is FT_IO_ERROR and stops the call) and restores the 2000 ms
 * time-outs. A reply owed from before the purge may still come, so:
 *   - a unit whose replies carry their command back (Vontrel_Open learns
 *     it from the two serial-number replies, which must both carry the
 *     memory-read code 0x0D in byte 2 and the address in bytes 3 and 4)
 *     has EVERY reply checked, always: one whose byte 2 is not its
 *     command's code, or, for a memory read or write, whose bytes 3 and 4
 *     are not its address, is refused with FT_IO_ERROR (the call stops
 *     and the link is purged next time). This departs from the unit's
 *     protocol, where those bytes are never looked at: it is done only
 *     for a unit that has shown it echoes, and no frame sent changes;
 *   - a unit that does not echo has the two replies after a purge
 *     checked to have nothing behind them within 50 ms: a byte there
 *     fails the exchange with FT_IO_ERROR.
 * These steps are D2XX calls like any other and their failures are
 * recorded in *status.
 * What a caller can rely on: a call that reports FT_OK returned what the
 * unit held and wrote only what it was given; after a stall, retry.
 * What remains: on a unit that does NOT echo, after one of the failures
 * that purge the link (not after a stall), a reply owed from before the
 * purge that comes later than both 50 ms waits, with the unit's next
 * reply late as well, can be taken for another command's answer once
 * (docs/reliability.md gives the measured rate). The same stale reply on
 * a unit that echoes is refused, unless it answered an identical command
 * (same code and address), whose value it then carries. On a link whose
 * books balance none of this costs anything.
 *
 * @since 0.1.0
 */

/**
 * @defgroup vontrel_handles Handles
 * Vontrel_Open stores one small positive int token per opened unit in
 * `handles`. Pass it back as `void *`, for example
 * `(void *)(intptr_t)handles[i]`. Tokens are not reused soon after a close,
 * so a stale token is refused rather than reaching another unit.
 *
 * @since 0.1.0
 */

/**
 * @defgroup vontrel_threads Threads
 * Calls on different handles may run at the same time from any threads;
 * they never wait on each other. Calls on one handle must not overlap: an
 * exchange is a write followed by a read on that handle and nothing
 * serialises two callers. Vontrel_Open and Vontrel_Close may run
 * concurrently with calls on other handles. Vontrel_Close may also be
 * called while other threads are inside calls on the same handle: it
 * refuses every call on that handle that starts after it began
 * (FT_INVALID_HANDLE, no D2XX call), waits for the calls already in flight
 * on it to return (they finish on the open converter), and then closes the
 * converter, exactly once.
 *
 * @since 0.1.0
 */

/**
 * @defgroup vontrel_vector The status vector
 * Vontrel_ReadStatus fills 14 doubles; Vontrel_WriteStatus reads 12.
 * Entries 0 to 2 agree; read-back entries 4 to 12 are write-out entries 3
 * to 11; read-back entries 3 (levelMax) and 13 (levelMin) exist only in
 * the read-back. VONTREL_READ_* and VONTREL_WRITE_* below name every
 * entry of each; see docs/status-vector.md.
 *
 * @since 0.1.0
 */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VONTREL_API
#else
#define VONTREL_API __attribute__((visibility("default")))
#endif

/**
 * @defgroup vontrel_sizes Sizes and costs
 * What a caller sizes its buffers from, and what each export costs on the
 * link.
 *
 * @since 0.1.0
 * @{
 */

/** Buffer size Vontrel_ReadInfo needs for fRev, terminating zero included. */
#define VONTREL_FREV_SIZE 10
/** Buffer size Vontrel_ReadInfo writes to hRev: one character, no zero. */
#define VONTREL_HREV_SIZE 1
/** Buffer size Vontrel_ReadInfo needs for calDate, terminating zero included. */
#define VONTREL_CALDATE_SIZE 17
/** Buffer size Vontrel_ReadInfo needs for IFband, terminating zero included. */
#define VONTREL_IFBAND_SIZE 20

/** The most converters Vontrel_Open walks: enumeration indices at or beyond
 * it are not looked at, so `handles` and `serialNumbers` arrays of this many
 * entries are always enough. */
#define VONTREL_MAX_CONVERTERS 1024

/* Exchanges (one command frame and its reply each) that each export makes
 * with a unit. Each takes the link's time: both frames on the wire, 8.32 ms
 * at 19230 baud, handed over at the converter's next latency-timer tick,
 * so about 16 ms at its default 16 ms timer and 9 ms at 1 ms. Vontrel_Open
 * makes two per unit (its serial number), and for a unit whose replies do
 * not carry their command back waits 50 ms after each, Vontrel_Close none. */
#define VONTREL_EXCHANGES_OPEN_PER_UNIT 2           /**< Vontrel_Open, per unit */
#define VONTREL_EXCHANGES_READ_INFO 10              /**< Vontrel_ReadInfo */
#define VONTREL_EXCHANGES_READ_LD 1                 /**< Vontrel_ReadLD */
#define VONTREL_EXCHANGES_PRESET 1                  /**< Vontrel_Preset, Vontrel_SaveUserPreset */
#define VONTREL_EXCHANGES_READ_STATUS 13            /**< Vontrel_ReadStatus */
#define VONTREL_EXCHANGES_WRITE_STATUS 12           /**< Vontrel_WriteStatus, autoTrim 0.0 */
#define VONTREL_EXCHANGES_WRITE_STATUS_AUTO_TRIM 14 /**< Vontrel_WriteStatus, autoTrim nonzero */

/** @} */

/** @addtogroup vontrel_vector
 * @{
 */

/** Entries Vontrel_ReadStatus fills. */
#define VONTREL_READ_STATUS_ENTRIES 14
/** Entries Vontrel_WriteStatus reads. */
#define VONTREL_WRITE_STATUS_ENTRIES 12

/** Where each entry stands in the read-back vector (Vontrel_ReadStatus):
 * Values[VONTREL_READ_freqMHz], ... */
enum VontrelReadEntry {
    VONTREL_READ_trimA = 0,         /**< trim A byte (register 6), 0 to 255 */
    VONTREL_READ_trimB = 1,         /**< trim B byte (register 6), 0 to 255 */
    VONTREL_READ_freqMHz = 2,       /**< output frequency, MHz, as decoded */
    VONTREL_READ_levelMax = 3,      /**< highest level at this frequency */
    VONTREL_READ_level = 4,         /**< output level, level units */
    VONTREL_READ_attenuation = 5,   /**< attenuation, 0.25 steps */
    VONTREL_READ_mode = 6,          /**< 0 to 3 */
    VONTREL_READ_storedSetting = 7, /**< byte at device memory address 45 */
    VONTREL_READ_flagA = 8,         /**< 0.0 or 1.0 */
    VONTREL_READ_autoTrim = 9,      /**< 2.0 when the trims equal the
                                       calibration tables, else 0.0 */
    VONTREL_READ_switchCode = 10,   /**< 0 to 4, or -1.0: unknown */
    VONTREL_READ_flagB = 11,        /**< 0.0 or 1.0 */
    VONTREL_READ_flagC = 12,        /**< 0.0 or 1.0 */
    VONTREL_READ_levelMin = 13      /**< level at the largest attenuation */
};

/** Where each entry stands in the write-out vector (Vontrel_WriteStatus). */
enum VontrelWriteEntry {
    VONTREL_WRITE_trimA = 0,         /**< stored at address 83; the trim A
                                        byte when autoTrim is 0.0 */
    VONTREL_WRITE_trimB = 1,         /**< stored at address 84; likewise */
    VONTREL_WRITE_freqMHz = 2,       /**< clamped to 300 to 5000 */
    VONTREL_WRITE_level = 3,         /**< sets the attenuation in mode 3 */
    VONTREL_WRITE_attenuation = 4,   /**< used in modes 0 to 2 */
    VONTREL_WRITE_mode = 5,          /**< 0 to 3 */
    VONTREL_WRITE_storedSetting = 6, /**< stored at address 45 */
    VONTREL_WRITE_flagA = 7,         /**< 0.0 or 1.0 */
    VONTREL_WRITE_autoTrim = 8,      /**< nonzero: the trims come from the
                                        calibration tables */
    VONTREL_WRITE_switchCode = 9,    /**< 0 to 4 */
    VONTREL_WRITE_flagB = 10,        /**< 0.0 or 1.0 */
    VONTREL_WRITE_flagC = 11         /**< 0.0 or 1.0 */
};

/** @} */

/**
 * @defgroup vontrel_unit Talking to a unit
 * The identity block, lock detect and the two preset commands.
 *
 * @since 0.1.0
 */

/**
 * Find and open every attached unit.
 *
 * Asks the converter library for the number of converters, then walks them
 * by enumeration index i = 0 .. min(count, VONTREL_MAX_CONVERTERS)-1. A
 * converter whose description
 * begins with "V" is counted in *devicesFound, opened, reset and configured
 * (2000 ms read and write time-outs, 19230 baud, 8 data bits, 1 stop bit,
 * no parity), and its serial number is read from device memory bytes 0
 * (low) and 1 (high). The unit may still owe a reply to a command sent
 * before this open (see @ref vontrel_stall), which would otherwise be read
 * as the serial number and leave every reply after it one frame late, so a
 * unit is trusted only on evidence: both replies carry their command back
 * (the unit echoes, and every later reply is checked so), or neither does
 * and nothing comes behind either within 50 ms (a unit that does not echo).
 * Anything else (one reply echoes and the other not, a byte behind a reply)
 * fails that unit's open with FT_IO_ERROR. For each unit that passes every
 * step, serialNumbers[i]
 * and then handles[i] are written at its enumeration index i: the arrays
 * must hold one entry per converter attached (which can exceed
 * *devicesFound), and VONTREL_MAX_CONVERTERS entries are always enough.
 * Entries of converters that did not match or failed a step
 * are not written. A unit that was opened but failed a later step is closed
 * again before the walk goes on.
 *
 * Result:
 * @code{.unparsed}
 *   0   the walk ran to its end (whether or not a unit opened); *devicesFound
 *       holds the number of converters whose description matched, including
 *       any that failed to open. *status holds the last D2XX call's status
 *       (a failure of the last converter shows there; earlier ones do not).
 *   -1  no converter attached (the count is below 1), or a pointer argument
 *       is null (*status = FT_INVALID_PARAMETER), or the table of open units
 *       is full (*status = FT_INSUFFICIENT_RESOURCES: every unit this call
 *       opened is closed again); nothing else is written.
 *   -2  the count query failed with a count of at least 1; nothing else is
 *       written.
 * @endcode
 *
 * @param[out] status        the status of the walk's last D2XX call on
 *                           result 0; FT_INVALID_PARAMETER for a null
 *                           pointer, FT_INSUFFICIENT_RESOURCES for a full
 *                           table; on -2 the count query's failure.
 * @param[out] devicesFound  on result 0, the converters whose description
 *                           matched; not written on -1 or -2.
 * @param[out] handles       on result 0, the token of each unit that opened
 *                           at its enumeration index; every other entry is
 *                           left as it was (fill the array with 0, which
 *                           is never a token, first); nothing is written
 *                           on -1 or -2. VONTREL_MAX_CONVERTERS entries.
 * @param[out] serialNumbers likewise, each opened unit's serial number at
 *                           its enumeration index. VONTREL_MAX_CONVERTERS
 *                           entries.
 * @return 0, -1 or -2, as above.
 * @since 0.1.0
 * @ingroup vontrel_handles
 */
VONTREL_API int Vontrel_Open(unsigned long *status, int *devicesFound, int *handles,
                             int *serialNumbers);

/**
 * Close a unit opened by Vontrel_Open. Every call on the handle that starts
 * after this one began is refused with FT_INVALID_HANDLE; calls already in
 * flight on it (from other threads) are waited for, then FT_Close is called
 * once. The token is released whatever the converter library answers.
 *
 * Result: the status FT_Close returned (0 is FT_OK), or FT_INVALID_HANDLE (1)
 * without any D2XX call when the handle is not an open unit (closed before,
 * never opened, or null).
 *
 * @param[in] handle a token Vontrel_Open stored, as `void *`.
 * @return the status FT_Close returned (0 is FT_OK), or FT_INVALID_HANDLE.
 * @since 0.1.0
 * @ingroup vontrel_handles
 */
VONTREL_API int Vontrel_Close(void *handle);

/**
 * Read the unit's identity block: ten memory reads, bytes 0, 1, 3, 2, 7, 4,
 * 5, 6, 8, 9 in that order.
 *
 *   *SN       byte 1 * 256 + byte 0 (0 to 65535)
 *   fRev      "%d.%d" of bytes 3 and 2, e.g. "2.5"; needs VONTREL_FREV_SIZE
 *             (10) bytes
 *   hRev      ONE character, 'A' + byte 7 modulo 256; NOT zero-terminated:
 *             add the terminator yourself if you want a string
 *   calDate   "%02d/%02d/20%02d" of bytes 5, 4 and 6, e.g. "07/12/2011";
 *             needs VONTREL_CALDATE_SIZE (17) bytes
 *   IFband    "%d MHz - %d MHz" of bytes 8 and 9; needs VONTREL_IFBAND_SIZE
 *             (20) bytes
 * Bytes 2 to 9 are printed as signed 8-bit values (0xFF prints as -1).
 *
 * Result:
 * @code{.unparsed}
 *   0   all outputs written. Only the reads of bytes 0 and 1 are tested: a
 *       later failed read counts as byte 0, the reads go on (up to a reply
 *       that does not come whole: the reads after it are not made and
 *       count as byte 0), and *status keeps the first failure.
 *   -1  reading byte 0 failed, a pointer is null (FT_INVALID_PARAMETER) or
 *       the handle is unknown (FT_INVALID_HANDLE); nothing written.
 *   -2  reading byte 1 failed; nothing written.
 * @endcode
 *
 * @param[out] status  the first failure among the ten reads, FT_OK when
 *                     none failed; FT_INVALID_PARAMETER or
 *                     FT_INVALID_HANDLE when no read was made.
 * @param[in] handle   a token Vontrel_Open stored.
 * @param[out] SN      on result 0 the serial number; not written on -1 or -2.
 * @param[out] fRev    VONTREL_FREV_SIZE bytes; on result 0 the firmware
 *                     revision (a failed read after byte 1 shows as 0);
 *                     not written on -1 or -2.
 * @param[out] hRev    VONTREL_HREV_SIZE byte, not terminated; on result 0
 *                     the hardware revision letter; not written on -1 or -2.
 * @param[out] calDate VONTREL_CALDATE_SIZE bytes; on result 0 the
 *                     calibration date; not written on -1 or -2.
 * @param[out] IFband  VONTREL_IFBAND_SIZE bytes; on result 0 the IF band;
 *                     not written on -1 or -2.
 * @return 0, -1 or -2, as above.
 * @since 0.1.0
 * @ingroup vontrel_unit
 */
VONTREL_API int Vontrel_ReadInfo(unsigned long *status, void *handle, int *SN, char *fRev,
                                 char *hRev, char *calDate, char *IFband);

/**
 * Read lock detect: one read-back of register 0 (frame 00 21 0B 00 00 00 00
 * 40). *LDstatus is 1 when response byte 6 (register 0 bits 7..0) is
 * nonzero, else 0; when the exchange failed it is 0 (not locked) and
 * *status holds the failure.
 *
 * Result: 0 after the exchange, whether or not it succeeded (*status holds
 * the first failure of its write and read); -1 without any exchange for a null pointer
 * (FT_INVALID_PARAMETER) or an unknown handle (FT_INVALID_HANDLE; *LDstatus
 * is then set to 0).
 *
 * @param[out] status   the first failure of the exchange's write and read,
 *                      FT_OK when neither failed.
 * @param[in] handle    a token Vontrel_Open stored.
 * @param[out] LDstatus 1 when the unit reports lock, else 0; 0 too when
 *                      the exchange failed or the handle is unknown.
 * @return 0 after the exchange, -1 when none was made.
 * @since 0.1.0
 * @ingroup vontrel_unit
 */
VONTREL_API int Vontrel_ReadLD(unsigned long *status, void *handle, int *LDstatus);

/**
 * Send the preset command (frame 00 21 FF 00 00 00 00 40) and read its
 * 8-byte response, which is discarded. The read is made even when the write
 * failed with an error (not when it timed out); *status keeps the first
 * failure of the two, and a response that does not come whole is
 * FT_IO_ERROR though it is not used. The unit restores its
 * saved user preset, or its power-up settings when none was saved. The call
 * does not wait for the unit to act on the command.
 *
 * @param[out] status the first failure of the write and the read, FT_OK
 *                    when neither failed; FT_INVALID_HANDLE for an unknown
 *                    handle (nothing sent).
 * @param[in] handle  a token Vontrel_Open stored.
 * @since 0.1.0
 * @ingroup vontrel_unit
 */
VONTREL_API void Vontrel_Preset(unsigned long *status, void *handle);

/**
 * Send the save-user-preset command (frame 00 21 0E 00 00 00 00 40) and read
 * its response, as Vontrel_Preset does. The unit stores its current
 * registers as the user preset.
 *
 * @param[out] status as for Vontrel_Preset.
 * @param[in] handle  a token Vontrel_Open stored.
 * @since 0.1.0
 * @ingroup vontrel_unit
 */
VONTREL_API void Vontrel_SaveUserPreset(unsigned long *status, void *handle);

/**
 * Read the synthesizer state back into Values[0..13] (see @ref vontrel_vector):
 * eight register read-backs (registers 0 to 7), then five memory reads: the
 * calibration tables D, C, B and A at the index of the decoded frequency,
 * and the stored setting at address 45. Only read commands are sent.
 *
 * The frequency (entry 2) is reported as decoded, not clamped: a divider of
 * 0 gives infinity or NaN. A register whose read-back failed decodes as
 * zeros, a failed memory read as the byte 0. Entry 10 is -1.0 when the
 * switch pattern is none of the five known ones.
 *
 * Result: 0 after the thirteen exchanges, whatever they returned, or after
 * the exchange whose reply did not come whole (the rest are not made and
 * read as zeros); *status keeps the first failure among them. -1 without
 * any exchange
 * for a null pointer (FT_INVALID_PARAMETER) or an unknown handle
 * (FT_INVALID_HANDLE); Values is then untouched.
 *
 * @param[out] status the first failure among the thirteen exchanges, FT_OK
 *                    when none failed; FT_INVALID_PARAMETER or
 *                    FT_INVALID_HANDLE when none was made.
 * @param[in] handle  a token Vontrel_Open stored.
 * @param[out] Values VONTREL_READ_STATUS_ENTRIES doubles, placed as
 *                    VONTREL_READ_* says. On result 0 all are written,
 *                    those from a failed exchange as zeros: only *status
 *                    tells whether they are the unit's. Untouched on -1.
 * @return 0 after the exchanges, -1 when none was made.
 * @since 0.1.0
 * @ingroup vontrel_vector
 */
VONTREL_API int Vontrel_ReadStatus(unsigned long *status, void *handle, double *Values);

/**
 * Program the unit from Values[0..11] (write-out layout, see @ref vontrel_vector).
 * Sends, in this order: memory writes of byte(trimA) at 83, byte(trimB) at
 * 84 and byte(storedSetting) at 45; when autoTrim is not 0.0, reads of
 * calibration tables A and B; a read of table C; then registers 0 to 7.
 * 12 or 14 exchanges in all; a failed exchange does not stop the sequence,
 * but a reply that does not come whole does: nothing after it is sent, so
 * no register is written from a table byte that never came.
 *
 * The frequency is clamped to 300..5000 MHz. A byte taken from an entry is
 * the low 8 bits of its value truncated toward zero, taken modulo 2^32;
 * NaN and infinities convert to 0. In mode 3 the attenuation code is
 * table C's entry minus 4 * `level`, held within 0..127 when the level is
 * out of the unit's reach; otherwise it is `attenuation` / 0.25 (its low
 * byte, limited to 127).
 *
 * *status keeps the first failure among the exchanges. A NaN frequency, a
 * NaN level in mode 3 (where it would set the attenuation), a null pointer
 * or an unknown handle makes no exchange at all and stores
 * FT_INVALID_PARAMETER or FT_INVALID_HANDLE. A NaN level in any other mode
 * is not used.
 *
 * @param[out] status the first failure among the exchanges, FT_OK when
 *                    none failed; FT_INVALID_PARAMETER or FT_INVALID_HANDLE
 *                    when none was made. After a failure the unit may be
 *                    partly programmed.
 * @param[in] handle  a token Vontrel_Open stored.
 * @param[in] Values  VONTREL_WRITE_STATUS_ENTRIES doubles, placed as
 *                    VONTREL_WRITE_* says; only read.
 * @since 0.1.0
 * @ingroup vontrel_vector
 */
VONTREL_API void Vontrel_WriteStatus(unsigned long *status, void *handle, double *Values);

#ifdef __cplusplus
}
#endif

#endif
