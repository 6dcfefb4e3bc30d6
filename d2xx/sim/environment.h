// What the simulator reads from the process environment, shared by the
// files that load the configured bench: the variables, and how a
// configuration error is reported.
#ifndef VONTREL_D2XX_SIM_ENVIRONMENT_H
#define VONTREL_D2XX_SIM_ENVIRONMENT_H

#include <string>

#include "d2xx/sim/bench.h"

namespace vsim {

// The variable's value, or "" when it is not set.
std::string Env(const char *name);

// Reports a configuration that cannot be used, and stops the process.
[[noreturn]] void ConfigError(const std::string &what);

// The whole file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string &path);

// The state file VONTREL_SIM_STATE names (or the default one); "" for a
// bench kept in memory.
std::string StatePathFromEnvironment();

// Loads the bench described by the JSON file at `path` (VONTREL_SIM_CONFIG).
void LoadConfigFile(Bench &bench, const std::string &path);

// Arms the faults of VONTREL_SIM_FAIL.
void ArmFaultsFromEnvironment(Bench &bench);

}  // namespace vsim

#endif
