// SPDX-License-Identifier: MIT
// The real libftdi behind a mains switch (Debian's libftdi1).
#include <ftdi.h>

#include "d2xx/serial/bitbang.h"

namespace vserial {
namespace {

int SetInterface(ftdi_context *context, int interface)
{
    return ftdi_set_interface(context, static_cast<ftdi_interface>(interface));
}

void DetachAndReattach(ftdi_context *context)
{
    // Only the switch's interface is detached, and libusb gives it back to
    // the driver when libftdi releases it at close.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
}

void SetTimeouts(ftdi_context *context, int read_ms, int write_ms)
{
    context->usb_read_timeout = read_ms;
    context->usb_write_timeout = write_ms;
}

const FtdiApi kLibFtdi{
    ftdi_new,         ftdi_free,      SetInterface,    ftdi_usb_open_bus_addr, ftdi_usb_close,
    ftdi_set_bitmode, ftdi_read_pins, ftdi_write_data, ftdi_get_error_string,  DetachAndReattach,
    SetTimeouts,
};

}  // namespace

const FtdiApi *LibFtdi()
{
    return &kLibFtdi;
}

const char *BitBangSupport()
{
    return "";
}

}  // namespace vserial
