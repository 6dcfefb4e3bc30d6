// SPDX-License-Identifier: MIT
/**
 * @file vontrel_limits.h
 * @brief The ranges a unit takes, and the level policy.
 * @since 0.1.0
 *
 * The settings a Vontrel unit takes: one table of ranges for every program
 * that checks a request before it reaches a unit (the vontrel tool, the C++
 * API in vontrel.hpp, the Python package, which is checked against this
 * file). The library itself takes any double and converts it as vontrel.h
 * describes; these are the ranges in which the unit does what was asked.
 * Every value must be finite; NaN and infinities are refused everywhere.
 *
 * LEVEL POLICY
 *   A level is used only in mode VONTREL_MODE_LEVEL (3), where the unit
 *   sets its attenuation from the calibrated level reference of the
 *   frequency it is programmed at. A level is taken when it is a multiple
 *   of VONTREL_LEVEL_STEP and lies within the calibrated range of that
 *   frequency, from levelMin to levelMax (read-back entries 13 and 3). Where
 *   that range is known before anything is sent (the frequency does not
 *   change), a level outside it is refused before any exchange; at a new
 *   frequency the range is known only once the unit is programmed there, so
 *   a level found outside it is undone again (the previous settings are
 *   written back) and reported as refused. VONTREL_LEVEL_MIN and
 *   VONTREL_LEVEL_MAX bound every unit's range and are checked first.
 */
#ifndef VONTREL_LIMITS_H
#define VONTREL_LIMITS_H

/** Output frequency, MHz. The library clamps anything else to this range. */
#define VONTREL_FREQ_MIN_MHZ 300.0
#define VONTREL_FREQ_MAX_MHZ 5000.0

/** Level units per step of the attenuation code; levels and attenuations
 * are multiples of it. */
#define VONTREL_LEVEL_STEP 0.25

/** Attenuation: codes 0 to 127, so 0 to 31.75 level units. */
#define VONTREL_ATTEN_CODE_MAX 127
#define VONTREL_ATTEN_MAX 31.75

/** The widest level range any unit can have: a level reference byte of 0
 * at the largest attenuation, and of 255 at none. */
#define VONTREL_LEVEL_MIN (-31.75)
#define VONTREL_LEVEL_MAX 63.75

/** Modes 0 to 3; mode 3 is the calibrated-level mode. */
#define VONTREL_MODE_MAX 3
#define VONTREL_MODE_LEVEL 3

/** Switch positions 0 to 4. */
#define VONTREL_SWITCH_MAX 4

/** Trims A and B and the stored setting are bytes. */
#define VONTREL_BYTE_MAX 255

/** Waiting, in seconds: for lock, and (in the tool) for a unit that another
 * program has open. Every time-out is finite, from 0 to
 * VONTREL_TIMEOUT_MAX_S; lock detect is polled every VONTREL_LOCK_POLL_S,
 * and at least once. */
#define VONTREL_LOCK_TIMEOUT_DEFAULT_S 1.0
#define VONTREL_LOCK_POLL_S 0.01
#define VONTREL_TIMEOUT_MAX_S 3600.0

/** How long opening a unit by its serial number waits, by default, while
 * units are in use by another program (a converter is open in one process
 * at a time), in seconds. */
#define VONTREL_UNIT_WAIT_DEFAULT_S 1.0

/** Sweeps: the time to stay on each point (seconds, 0 to this) and the most
 * points one sweep takes. */
#define VONTREL_DWELL_MAX_S 3600.0
#define VONTREL_SWEEP_POINTS_MAX 100000

#endif
