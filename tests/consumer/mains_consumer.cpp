// SPDX-License-Identifier: MIT
// A program built against an installed libvontrel-mains: lists the mains
// switches, opens the first one, switches outlet 8 off and on again and
// prints its outlets. Exits 0 when that all went well.
#include <cstdio>
#include <exception>

#include <vontrel_mains.hpp>

#if VONTREL_MAINS_VERSION_MAJOR != 0
#error "built against an unexpected major version"
#endif

int main()
{
    try {
        const auto found = vontrel::mains::list();
        if (found.empty()) {
            std::fprintf(stderr, "no mains switch\n");
            return 1;
        }
        vontrel::mains::Switch sw = vontrel::mains::open("", found.front().serial);
        const bool was = sw.get(8);
        sw.set(8, !was);
        sw.set(8, was);
        std::printf("mains switch %s: outlets %s\n", found.front().serial.c_str(),
                    sw.outlets().to_string().c_str());
        return sw.get(8) == was ? 0 : 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
