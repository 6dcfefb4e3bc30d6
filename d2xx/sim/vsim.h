// SPDX-License-Identifier: MIT
/*
 * Control interface of the simulated bench: the project's own D2XX library
 * (libftd2xx.so built from d2xx/sim) simulates converters, some of them
 * Vontrel units that answer command frames from a device memory and a
 * register file. Tests and tools use these calls to set up the bench, inject
 * faults and read back the log of every D2XX call.
 *
 * All calls are thread-safe. Converter ids are positions in the bench, which
 * are also the enumeration indices while every converter is plugged in.
 */
#ifndef VONTREL_D2XX_SIM_VSIM_H
#define VONTREL_D2XX_SIM_VSIM_H

#include <stddef.h>
#include <stdint.h>

#include "d2xx/ftd2xx.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VSIM_MEMORY_SIZE 4096
#define VSIM_DESCRIPTION_SIZE 64

/* --- The bench --- */

/* Removes every converter and clears faults, log and call counters. Handles
 * still open become invalid. */
void vsim_clear(void);

/* Replaces the bench with the default one: two units (serial numbers 4660
 * and 12345) with plausible identity blocks and calibration tables, a
 * converter that is not a unit between them, and after them a mains switch
 * ("Mains Switch", serial MS0001) whose outlet 1 powers 4660 and outlet 2
 * powers 12345, every outlet on. Kept in memory only. */
void vsim_load_default_bench(void);

/* Adds a converter that is not a unit (it never answers a frame). Returns
 * its id. */
int vsim_add_converter(const char *description);

/* Adds a unit with the given description, serial number and plausible
 * identity block and calibration tables (varied by the serial number); its
 * registers hold the power-up image and it is not locked. Returns its id. */
int vsim_add_unit(const char *description, uint16_t serial);

int vsim_converter_count(void);

/* --- Mains switches ---
 *
 * A mains switch is a converter whose eight data lines drive eight outlets:
 * outlet n is line n-1, on while the line is at 1. In asynchronous bit-bang
 * mode (FT_SetBitMode) each byte FT_Write sends is put on its output lines,
 * and FT_GetBitMode reads the lines in any mode; a switch starts with every
 * outlet on and bit-bang off. Leaving bit-bang mode (FT_BITMODE_RESET) or
 * closing the switch leaves the outlets as they are. FT_SetBitMode and
 * FT_GetBitMode on a converter that is not a switch fail with
 * FT_NOT_SUPPORTED.
 *
 * An outlet powers units, named by their serial numbers. While an outlet
 * that powers a unit is off, the unit does not answer, or, when its switch
 * says so, leaves the USB bus (and handles open on it stay dead); it loses
 * its settings. When the outlet comes on, the unit answers again after the
 * switch's boot time, at its power-up settings. A bench description gives a
 * switch as a converter with "mains" (see docs/mains.md). */

/* Adds a mains switch with the given description and converter serial
 * string; its outlets power nothing yet. Returns its id. */
int vsim_add_mains_switch(const char *description, const char *serial);

/* Makes `outlet` (1 to 8) of switch `id` power the unit whose serial number
 * is `unit_serial` (an outlet may power several units). */
void vsim_mains_power(int id, int outlet, uint16_t unit_serial);

/* How the units switch `id` powers behave without power: 0 they stop
 * answering, 1 they leave the USB bus; and how long after power comes back
 * they answer (boot_ms, at most 600000; default 1000). */
void vsim_mains_set_unpowered(int id, int vanish, unsigned long boot_ms);

/* The switch's lines, bit n-1 for outlet n (-1: `id` is no switch), and
 * setting them from outside, as a hand on the switch would. */
int vsim_mains_lines(int id);
void vsim_mains_set_lines(int id, uint8_t lines);

/* Whether the switch is in bit-bang mode (-1: no switch), and how many
 * times one of its lines has changed level since the bench was built. */
int vsim_mains_bitbang(int id);
long vsim_mains_line_changes(int id);

/* A unit's power: VSIM_POWER_OFF, VSIM_POWER_BOOTING (powered, not yet
 * answering) or VSIM_POWER_ON; -1 when `id` is not a unit. */
/* Makes a unit hang: it answers nothing until its power is cycled at a
 * mains switch's outlet (the simulator's only cure for it). */
void vsim_hang_unit(int id);

#define VSIM_POWER_OFF 0
#define VSIM_POWER_BOOTING 1
#define VSIM_POWER_ON 2
int vsim_unit_power(int id);

/* --- The bench between processes ---
 *
 * A process that does not build its own bench (through vsim_clear,
 * vsim_load_default_bench or vsim_add_*) gets the configured bench, whose
 * units' registers, memory and user preset are kept in a state file and
 * shared, under a file lock, with every process using the same file:
 *   VONTREL_SIM_CONFIG   JSON bench description (default: the default bench)
 *   VONTREL_SIM_STATE    state file, or "memory" for none (default:
 *                        $XDG_RUNTIME_DIR/vontrel-sim/state.json, else
 *                        /tmp/vontrel-sim-<uid>/state.json)
 *   VONTREL_SIM_FAIL     faults armed at load: FUNCTION:NTH:STATUS,...
 *                        and late:NTH:MS (see vsim_late_reply)
 *   VONTREL_SIM_TRACE    frame trace to "stderr" or a file (any bench)
 *   VONTREL_SIM_TIMING   "1": exchanges take the link's time (any bench)
 *   VONTREL_SIM_LATENCY_MS  the latency timer for that time (default 16)
 * A bench built explicitly never reads or writes the state file. */

/* Deletes the state file, so that every process starts again from the
 * configuration; a process using the configured bench forgets its own copy
 * (its open handles become invalid). Only a regular file is deleted; when
 * it cannot be, the bench is out of order and vsim_bench_error says why. */
void vsim_reset_state(void);

/* The state file the configured bench uses, or "" when it is kept in
 * memory. The text is valid until the next call. */
const char *vsim_state_path(void);

/* Why the bench is out of order. A bench description or a VONTREL_SIM_*
 * value that cannot be used (VSIM_BENCH_CONFIG, found before anything is
 * sent), or a file the bench keeps or writes that is damaged or cannot be
 * read or written: the state file, its lock files, the trace
 * (VSIM_BENCH_FILES), puts the bench out of order for the rest of the
 * process, or until vsim_reset_state: every D2XX call then fails with
 * FT_OTHER_ERROR. Copies the reason (which names the file or variable, the
 * place and what to do) into text, terminated and cut to size bytes, and
 * returns its kind; returns 0 and leaves text alone while the bench works.
 * Loads the configured bench when nobody built one. */
#define VSIM_BENCH_CONFIG 1
#define VSIM_BENCH_FILES 2
int vsim_bench_error(char *text, size_t size);

/* While the configured bench keeps its state in a file, each converter is
 * open in at most one process at a time: FT_Open holds a lock on it (a lock
 * file next to the state file) until FT_Close or the process ends, and an
 * FT_Open of a converter another process holds fails with
 * FT_DEVICE_NOT_OPENED. A call waits for the state file's lock at most as
 * long as the converter's time-outs (2 s without them) and fails with
 * FT_IO_ERROR after that. */

/* Unplugs a converter: it leaves the enumeration, and every exchange on a
 * handle already open on it fails with FT_IO_ERROR; FT_Close still
 * succeeds. Plugging it back puts it into the enumeration again. */
void vsim_unplug(int id);
void vsim_plug(int id);

/* Device memory (addresses 0 .. VSIM_MEMORY_SIZE-1) and registers 0..7 of a
 * unit. Setting a register does not count as programming the unit. */
void vsim_set_memory(int id, uint16_t address, uint8_t value);
uint8_t vsim_get_memory(int id, uint16_t address);
void vsim_set_register(int id, int index, uint32_t word);
uint32_t vsim_get_register(int id, int index);

/* Whether the unit reports lock: programmed since power-up, and the
 * registers decode to 300..5000 MHz. */
int vsim_locked(int id);

/* Number of handles currently open on the whole bench. */
int vsim_open_handles(void);

/* Number of D2XX calls, since the bench was last cleared, that named a
 * handle this process had already closed. Handle values are never reused
 * within a process, so such a call never reaches another converter: it
 * fails with FT_INVALID_HANDLE and is counted here, for tests to check that
 * it is 0. Handles dropped by vsim_clear count as closed. */
long vsim_closed_handle_calls(void);

/* --- Faults --- */

/* Makes the nth call from now (1 = the next one) fail with `status`.
 * `function` names one D2XX function ("FT_Read") to count only its calls,
 * or is NULL to count every D2XX call. Several faults may be armed. */
void vsim_fail_call(const char *function, long nth, FT_STATUS status);

/* Like vsim_fail_call, but the call first takes effect (a frame goes out,
 * a response is delivered, a count is written) and only then reports
 * `status`. An FT_Open never hands out a handle when it fails. */
void vsim_fail_call_after(const char *function, long nth, FT_STATUS status);

/* Makes the nth FT_Read from now return FT_OK but deliver only `bytes`
 * bytes (0 to 7); the rest of that response is lost. */
void vsim_short_read(long nth, DWORD bytes);

/* Makes the nth FT_Write from now return FT_OK having sent only `bytes`
 * bytes (0 to 7), as at its time-out: the unit gets no whole frame. */
void vsim_short_write(long nth, DWORD bytes);

/* Makes the nth FT_Read from now deliver `bytes` (8 of them) instead of the
 * unit's response. */
void vsim_replace_response(long nth, const unsigned char bytes[8]);

/* Makes the unit's nth reply from now (1 = the reply to the next command
 * frame it answers) arrive `ms` milliseconds late, at most 600000: a unit
 * that stalls. Replies after it come behind it, in order, and a read that
 * times out first delivers what has arrived by then. Counts replies of the
 * whole bench; in process and through vontrel-sim serve --pty
 * (VONTREL_SIM_FAIL=late:NTH:MS). */
void vsim_late_reply(long nth, unsigned long ms);

void vsim_clear_faults(void);

/* --- The call log ---
 *
 * The log keeps the latest VSIM_LOG_CAPACITY calls (64 bytes each, 4 MiB in
 * all): once full, each new call drops the oldest, so entry 0 is the oldest
 * call still kept and a process that runs for ever (a server over the
 * simulator) stays the same size. A test that needs more asks for it. */
#define VSIM_LOG_CAPACITY 65536

/* Keeps the latest `entries` calls from now on, dropping the oldest beyond
 * them at once; 0 keeps every call (for a test whose calls outnumber the
 * default). Lasts for the process; vsim_clear does not change it. */
void vsim_set_log_capacity(size_t entries);

typedef struct vsim_call {
    char function[32];      /* "FT_Write", ... */
    int converter;          /* converter id the call concerned, or -1 */
    FT_STATUS status;       /* what the call returned */
    DWORD args[3];          /* numeric arguments: index, time-outs, baud, flags,
                               word length/stop bits/parity, byte counts */
    unsigned char bytes[8]; /* FT_Write: the frame sent; FT_Read: the bytes
                               delivered */
    DWORD byte_count;       /* bytes written or delivered */
} vsim_call;

size_t vsim_log_size(void);
/* Copies entry i into *out; returns 0, or -1 when i is out of range. */
int vsim_log_entry(size_t i, vsim_call *out);
void vsim_clear_log(void);

/* Number of D2XX calls made since the bench was last cleared. */
long vsim_call_count(void);

#ifdef __cplusplus
}
#endif

#endif
