// Opens the first unit, sets 2455 MHz at a chosen level (level mode), waits
// for lock and prints the status.
//     set_and_status_cpp [level]      level in level units, default 5.0
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "vontrel.hpp"

int main(int argc, char **argv)
{
    const double level = argc > 1 ? std::strtod(argv[1], nullptr) : 5.0;
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
        unit.apply(settings);

        bool locked = false;
        for (int tries = 0; tries < 100 && !(locked = unit.locked()); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }

        const vontrel::Status s = unit.status();
        std::printf("frequency   %.6f MHz\n", s.frequency_mhz);
        std::printf("level       %.2f (range %.2f to %.2f, calibrated up to %.2f)\n", s.level,
                    s.level_min, s.level + s.attenuation, s.level_max);
        std::printf("attenuation %.2f\n", s.attenuation);
        std::printf("mode        %d\n", static_cast<int>(s.mode));
        std::printf("lock        %s\n", locked ? "locked" : "NOT locked");

        // The attenuation code is the low byte of (reference - 4 x level): a
        // level the calibration cannot reach at this frequency wraps round.
        if (std::abs(s.level - level) >= 0.25) {
            std::fprintf(stderr, "level %.2f is out of reach at this frequency (%.2f to %.2f)\n",
                         level, s.level_min, s.level + s.attenuation);
            return 1;
        }
        return locked ? 0 : 1;
    } catch (const std::system_error &e) {  // every unit closes on the way out
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
