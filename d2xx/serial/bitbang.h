// SPDX-License-Identifier: MIT
// A mains switch through libftdi. The kernel's tty driver cannot put a
// converter in bit-bang mode, so a switch's converter is taken from it: its
// interface, and only that one, is detached from the driver while the
// switch is open and given back when it is closed.
//
// libftdi is reached through a table of its functions (FtdiApi), so that
// tests put a double at that boundary; LibFtdi() is the real one.
#ifndef VONTREL_D2XX_SERIAL_BITBANG_H
#define VONTREL_D2XX_SERIAL_BITBANG_H

#include <cstdint>
#include <memory>
#include <string>

#include "d2xx/ftd2xx.h"

struct ftdi_context;

namespace vserial {

// The libftdi functions a switch uses, each as libftdi declares it (the
// interface as its int value: 1 for A, 2 for B, ...).
struct FtdiApi {
    ftdi_context *(*new_context)();
    void (*free_context)(ftdi_context *);
    int (*set_interface)(ftdi_context *, int interface);
    int (*usb_open_bus_addr)(ftdi_context *, std::uint8_t bus, std::uint8_t address);
    int (*usb_close)(ftdi_context *);
    int (*set_bitmode)(ftdi_context *, unsigned char mask, unsigned char mode);
    int (*read_pins)(ftdi_context *, unsigned char *pins);
    int (*write_data)(ftdi_context *, const unsigned char *bytes, int size);
    const char *(*get_error_string)(ftdi_context *);
    // Sets what libftdi does with the kernel's driver: detach it at open and
    // give it back at close; and the time-outs of its transfers, in ms.
    void (*detach_and_reattach)(ftdi_context *);
    void (*set_timeouts)(ftdi_context *, int read_ms, int write_ms);
};

// The real libftdi, or null when the library was built without it.
const FtdiApi *LibFtdi();

// Why mains switches cannot be driven ("" when they can).
const char *BitBangSupport();

// Where a switch is on the bus.
struct UsbAddress {
    int bus = 0;
    int address = 0;
    int interface = 0;  // 0 for the converter's first interface (A)
    std::string node;   // /dev/bus/usb/BBB/DDD, for messages
};

class BitBangPort {
public:
    // Opens the switch at `where` through `api`, detaching the kernel's
    // driver from its interface. `name` names it in messages. On failure
    // returns null with `*status` set and the reason in the thread's last
    // message.
    static std::unique_ptr<BitBangPort> Open(const FtdiApi &api, const UsbAddress &where,
                                             const std::string &name, FT_STATUS *status);
    // Closes it: the interface is released and its driver given back.
    ~BitBangPort();
    BitBangPort(const BitBangPort &) = delete;
    BitBangPort &operator=(const BitBangPort &) = delete;

    FT_STATUS SetTimeouts(ULONG read_ms, ULONG write_ms);
    FT_STATUS SetBitMode(UCHAR mask, UCHAR mode);
    FT_STATUS GetBitMode(UCHAR *lines);
    FT_STATUS Write(const std::uint8_t *bytes, DWORD count, DWORD *written);

private:
    BitBangPort(const FtdiApi &api, ftdi_context *context, std::string name);
    FT_STATUS Fail(FT_STATUS status, const char *call, int code);

    const FtdiApi &api_;
    ftdi_context *context_;
    std::string name_;
};

}  // namespace vserial

#endif
