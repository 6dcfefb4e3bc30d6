// SPDX-License-Identifier: MIT
// Opens the first unit, sets 2455 MHz at a chosen level (level mode), waits
// for lock and prints the status.
//     set_and_status_cpp [level]      level in level units, default 5.0
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "vontrel.hpp"

int main(int argc, char **argv)
{
    char *end = nullptr;
    const double level = argc > 1 ? std::strtod(argv[1], &end) : 5.0;
    if (argc > 1 && (end == argv[1] || *end != '\0')) {
        std::fprintf(stderr, "usage: set_and_status_cpp [level]\n");
        return 2;
    }
    try {
        std::vector<vontrel::Unit> units = vontrel::open_all();
        if (units.empty()) {
            std::fprintf(stderr, "no unit found\n");
            return 1;
        }
        vontrel::Unit &unit = units.front();
        std::printf("unit %d\n", unit.serial());

        vontrel::Status settings = unit.status();
        settings.frequency_mhz = 2455.0;
        settings.mode = vontrel::Mode::kMode3;  // the attenuation follows the level
        settings.level = level;
        unit.apply(settings);  // a level out of reach throws, the unit left as it was
        const bool locked = unit.wait_lock(1.0);

        const vontrel::Status s = unit.status();
        std::printf("frequency   %.6f MHz\n", s.frequency_mhz);
        std::printf("level       %.2f (calibrated range %.2f to %.2f)\n", s.level, s.level_min,
                    s.level_max);
        std::printf("attenuation %.2f\n", s.attenuation);
        std::printf("mode        %d\n", static_cast<int>(s.mode));
        std::printf("lock        %s\n", locked ? "locked" : "NOT locked");
        return locked ? 0 : 1;
    } catch (const std::invalid_argument &e) {  // a value the unit does not take
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    } catch (const std::system_error &e) {  // every unit closes on the way out
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
