// SPDX-License-Identifier: MIT
// A C++ program built against an installed libvontrel through its typed
// API, with no -std of its own: the C++ standard the header needs comes
// from the CMake package or from pkg-config's vontrel++. Opens every unit,
// prints its serial and frequency. Exits 0 when at least one unit answered.
#include <cstdio>
#include <system_error>

#include <vontrel.hpp>

int main()
{
    try {
        int answered = 0;
        for (vontrel::Unit &unit : vontrel::open_all()) {
            const vontrel::Status status = unit.status();
            std::printf("unit %d: %.3f MHz (C++ %ld)\n", unit.serial(), status.frequency_mhz,
                        static_cast<long>(__cplusplus));
            answered += status == unit.status() ? 1 : 0;
        }
        return answered > 0 ? 0 : 1;
    } catch (const std::system_error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
