// SPDX-License-Identifier: MIT
// What the simulator reads from the process environment and from files,
// shared by the files that load the configured bench: the variables, their
// bounds, and how a value that cannot be used is reported.
#ifndef VONTREL_D2XX_SIM_ENVIRONMENT_H
#define VONTREL_D2XX_SIM_ENVIRONMENT_H

#include <cstddef>
#include <stdexcept>
#include <string>

#include "d2xx/sim/bench.h"
#include "include/vontrel.h"

namespace vsim {

// The largest bench description and state file read: far above what the
// largest bench needs, and small enough that a device or a huge file given
// by mistake is refused rather than read into memory.
inline constexpr std::size_t kMaxFileBytes = 16u << 20;

// The most converters a bench description may list: twice as many as
// Vontrel_Open walks, so that a bench can hold converters past the end of
// its walk too.
inline constexpr std::size_t kMaxConverters = 2 * VONTREL_MAX_CONVERTERS;

// Why the configured bench cannot be used: thrown while it loads or keeps
// its state, kept in Bench::error and reported through vsim_bench_error.
class BenchError : public std::runtime_error {
public:
    BenchError(int kind, const std::string &what) : std::runtime_error(what), kind_(kind) {}
    int kind() const { return kind_; }

private:
    int kind_;
};

// The JSON parser's message without its "[json.exception...]" tag; it
// gives the line and column.
std::string JsonMessage(const std::exception &e);

// The variable's value, or "" when it is not set.
std::string Env(const char *name);

// The whole of a regular file of at most kMaxFileBytes; throws BenchError
// of `kind` naming the file and what is wrong (missing, a directory or
// device, too large, unreadable). `what` says what the file is for.
std::string ReadRegularFile(const std::string &path, const char *what, int kind);

// Writes the whole of `text` to `fd`; returns 0, or the errno of the
// failure (EIO when the system took nothing).
int WriteAll(int fd, const std::string &text);

// The state file VONTREL_SIM_STATE names (or the default one, in a folder
// private to this user, created when missing); "" for a bench kept in
// memory. Throws BenchError when the default folder is not safe to use.
std::string StatePathFromEnvironment();

// Loads the bench described by the JSON file at `path` (VONTREL_SIM_CONFIG);
// throws BenchError naming the file, the place and what was expected.
void LoadConfigFile(Bench &bench, const std::string &path);

// Arms the faults of VONTREL_SIM_FAIL; throws BenchError for a rule that is
// not FUNCTION:NTH:STATUS.
void ArmFaultsFromEnvironment(Bench &bench);

// Reads VONTREL_SIM_TIMING and VONTREL_SIM_LATENCY_MS; throws BenchError for
// a value outside what they take.
void CheckLinkTimingEnvironment();

// Opens the trace VONTREL_SIM_TRACE names; throws BenchError when it cannot.
void OpenTraceFromEnvironment();

// Takes the units' state from the state file when there is one (under its
// lock); throws BenchError when the file is damaged or cannot be read.
void LoadState(Bench &bench);

}  // namespace vsim

#endif
