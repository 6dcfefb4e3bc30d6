// SPDX-License-Identifier: MIT
// Built without libftdi: mains switches cannot be driven.
#include "d2xx/serial/bitbang.h"

namespace vserial {

const FtdiApi *LibFtdi()
{
    return nullptr;
}

const char *BitBangSupport()
{
    return "the serial D2XX library was built without libftdi1 (Debian: libftdi1-dev), which "
           "mains switches need";
}

}  // namespace vserial
