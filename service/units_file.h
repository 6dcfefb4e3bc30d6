// SPDX-License-Identifier: MIT
// The units file: what a lab says about each of its units that the units
// cannot hold themselves: the level calibration measured against a power
// meter, what "output off" does to the unit, and which mains switch outlet
// powers it. The tool, `vontrel serve`, `vontrel-tango` and the Python
// package read the same file by the same rules (docs/units-file.md):
//
//   {"units": {
//      "4660": {"level_offset_db": -3.25,
//               "output_off": "mains",
//               "power": {"switch": "MS0001", "outlet": 3}}}}
//
// Every key is optional; any other key, a wrong type or a value out of
// range is an error that names the file and the place.
#ifndef VONTREL_SERVICE_UNITS_FILE_H
#define VONTREL_SERVICE_UNITS_FILE_H

#include <map>
#include <optional>
#include <string>

namespace vontrel::service {

// The environment variable that names the units file.
inline constexpr const char *kUnitsFileVariable = "VONTREL_UNITS";

// Outlets of a mains switch are numbered from 1 to kMainsOutlets.
inline constexpr int kMainsOutlets = 8;

// The largest level offset taken, in dB either way.
inline constexpr double kMaxLevelOffsetDb = 100.0;

// What OUTPut OFF (and every other "output off") does to a unit.
enum class OutputOff {
    kRefuse,  // refused: the unit has no output switch
    kMute,    // the highest attenuation; the previous level comes back at ON
    kMains,   // its mains outlet is switched off
};

// "refuse", "mute", "mains".
const char *OutputOffName(OutputOff o);

// A mains switch outlet that powers a unit.
struct PowerOutlet {
    std::string switch_serial;  // the switch's converter serial; "" when there is one switch
    int outlet = 0;             // 1 to kMainsOutlets
};

struct UnitConfig {
    // dBm = the unit's level (in its own units) + this offset.
    std::optional<double> level_offset_db;
    // As written in the file; EffectiveOutputOff() says what holds without it.
    std::optional<OutputOff> output_off;
    std::optional<PowerOutlet> power;
};

struct UnitsFile {
    std::string path;  // "" when no file was read
    std::map<int, UnitConfig> units;

    // The unit's entry; an empty one for a unit the file does not name.
    const UnitConfig &For(int serial) const;
};

// Reads and checks `path`; throws std::invalid_argument naming the file and
// the place ("units.json: units.4660.power.outlet: 9 is not 1 to 8") for
// anything it cannot take, and std::runtime_error when it cannot be read.
UnitsFile LoadUnitsFile(const std::string &path);

// Parses the file's text; `name` is the file for messages.
UnitsFile ParseUnitsFile(const std::string &text, const std::string &name);

// The file used when no option names one: $VONTREL_UNITS, else
// $XDG_CONFIG_HOME/vontrel/units.json (~/.config/...), else
// /etc/vontrel/units.json; the first that is set (the variable) or exists.
// "" when there is none.
std::string DefaultUnitsFilePath();

// `path`, or the default one when `path` is empty; no file at all gives an
// empty UnitsFile. A file that is named but missing is an error.
UnitsFile LoadConfiguredUnitsFile(const std::string &path = {});

}  // namespace vontrel::service

#endif
