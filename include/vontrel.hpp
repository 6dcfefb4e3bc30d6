// SPDX-License-Identifier: MIT
/**
 * @file vontrel.hpp
 * @brief libvontrel for C++: a typed, header-only layer over the eight
 * exports of vontrel.h.
 * @since 0.1.0
 *
 * @code
 *     for (vontrel::Unit &unit : vontrel::open_all()) {
 *         vontrel::Status s = unit.status();
 *         s.frequency_mhz = 2455.0;
 *         s.attenuation = 10.0;
 *         unit.apply(s);              // Status is-a Settings
 *     }                               // each Unit closes its handle here
 * @endcode
 *
 * ERRORS
 *   Every call checks both the export's result and the D2XX status it
 *   leaves, and throws std::system_error whose code() belongs to
 *   vontrel::status_category(): value() is the D2XX status (4 for
 *   FT_IO_ERROR), message() reads "FT_IO_ERROR: input/output error on the
 *   link to the unit". The exports keep the first failed D2XX status, so a
 *   failure anywhere in a multi-exchange call is reported.
 *
 * BAD VALUES
 *   A request outside what a unit takes (the ranges and the level policy of
 *   vontrel_limits.h, a time-out that is not finite or beyond
 *   VONTREL_TIMEOUT_MAX_S, a sweep that is too long) throws
 *   std::invalid_argument before anything is sent; a mode-3 level that the
 *   unit's calibration cannot reach throws its subclass LevelOutOfRange.
 *   Times are in seconds.
 *
 * THREADS
 *   Distinct Unit objects may be used from different threads at once. One
 *   Unit must not be used by two threads at the same time.
 */
#ifndef VONTREL_HPP
#define VONTREL_HPP

// Everything is declared in namespace vontrel::v0 (inline: written
// vontrel::Unit); a release that changes these types moves them to v1.
#include "vontrel/error.hpp"
#include "vontrel/layout.hpp"
#include "vontrel/settings.hpp"
#include "vontrel/sweep.hpp"
#include "vontrel/unit.hpp"

#endif
