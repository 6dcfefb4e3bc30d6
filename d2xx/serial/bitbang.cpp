// SPDX-License-Identifier: MIT
// A mains switch through libftdi.
#include "d2xx/serial/bitbang.h"

#include <algorithm>
#include <climits>

#include "d2xx/serial/errors.h"

namespace vserial {
namespace {

// libftdi's codes for ftdi_usb_open_bus_addr that say why the switch did
// not open.
constexpr int kNotFound = -3;      // no device at that address
constexpr int kNoAccess = -4;      // it could not be opened: no permission, mostly
constexpr int kNotClaimed = -5;    // another program has its interface
constexpr int kNotDetached = -11;  // the kernel's driver would not let go of it

// libftdi's interfaces start at 1 (A).
constexpr int kFirstInterface = 1;

}  // namespace

BitBangPort::BitBangPort(const FtdiApi &api, ftdi_context *context, std::string name)
    : api_(api), context_(context), name_(std::move(name))
{
}

std::unique_ptr<BitBangPort> BitBangPort::Open(const FtdiApi &api, const UsbAddress &where,
                                               const std::string &name, FT_STATUS *status)
{
    ftdi_context *context = api.new_context();
    if (context == nullptr) {
        *status = FT_INSUFFICIENT_RESOURCES;
        SetLastMessage(name + ": libftdi could not make a context");
        return nullptr;
    }
    std::unique_ptr<BitBangPort> port(new BitBangPort(api, context, name));
    const int chosen = api.set_interface(context, kFirstInterface + where.interface);
    if (chosen < 0) {
        *status = port->Fail(FT_DEVICE_NOT_OPENED, "ftdi_set_interface", chosen);
        port->context_ = nullptr;  // nothing to close
        api.free_context(context);
        return nullptr;
    }
    api.detach_and_reattach(context);
    if (where.bus < 0 || where.bus > UINT8_MAX || where.address < 0 || where.address > UINT8_MAX) {
        *status = FT_DEVICE_NOT_FOUND;
        SetLastMessage(name + ": no USB device at bus " + std::to_string(where.bus) + " address " +
                       std::to_string(where.address));
        port->context_ = nullptr;
        api.free_context(context);
        return nullptr;
    }
    const int opened = api.usb_open_bus_addr(context, static_cast<std::uint8_t>(where.bus),
                                             static_cast<std::uint8_t>(where.address));
    if (opened < 0) {
        const char *said = api.get_error_string(context);
        const std::string why = said != nullptr ? said : "no reason given";
        switch (opened) {
            case kNotFound:
                *status = FT_DEVICE_NOT_FOUND;
                SetLastMessage(name + ": it has left the USB bus (" + why + ")");
                break;
            case kNoAccess:
                *status = FT_DEVICE_NOT_OPENED;
                SetLastMessage(name + ": " + where.node + " does not open (" + why +
                               "); this user may not write to it: install the udev rule, or "
                               "see `vontrel doctor`");
                break;
            case kNotClaimed:
            case kNotDetached:
                *status = FT_DEVICE_NOT_OPENED;
                SetLastMessage(name + ": another program has it (" + why + ")");
                break;
            default:
                *status = FT_DEVICE_NOT_OPENED;
                SetLastMessage(name + ": ftdi_usb_open_bus_addr failed: " + why + " (" +
                               std::to_string(opened) + ")");
                break;
        }
        // Not open: nothing to close or give back.
        port->context_ = nullptr;
        api.free_context(context);
        return nullptr;
    }
    *status = FT_OK;
    return port;
}

BitBangPort::~BitBangPort()
{
    if (context_ != nullptr) {
        api_.usb_close(context_);  // releases the interface; libusb gives it back to its driver
        api_.free_context(context_);
    }
}

FT_STATUS BitBangPort::Fail(FT_STATUS status, const char *call, int code)
{
    const char *why = context_ != nullptr ? api_.get_error_string(context_) : nullptr;
    SetLastMessage(name_ + ": " + call + " failed: " + (why != nullptr ? why : "no reason given") +
                   " (" + std::to_string(code) + ")");
    return status;
}

FT_STATUS BitBangPort::SetTimeouts(ULONG read_ms, ULONG write_ms)
{
    // libusb takes 0 for no limit, as D2XX does.
    const auto clamp = [](ULONG ms) { return static_cast<int>(std::min<ULONG>(ms, INT_MAX)); };
    api_.set_timeouts(context_, clamp(read_ms), clamp(write_ms));
    return FT_OK;
}

FT_STATUS BitBangPort::SetBitMode(UCHAR mask, UCHAR mode)
{
    const int r = api_.set_bitmode(context_, mask, mode);
    return r < 0 ? Fail(FT_IO_ERROR, "ftdi_set_bitmode", r) : FT_OK;
}

FT_STATUS BitBangPort::GetBitMode(UCHAR *lines)
{
    if (lines == nullptr) {
        SetLastMessage("FT_GetBitMode: no place for the lines");
        return FT_INVALID_PARAMETER;
    }
    unsigned char pins = 0;
    const int r = api_.read_pins(context_, &pins);
    if (r < 0) {
        return Fail(FT_IO_ERROR, "ftdi_read_pins", r);
    }
    *lines = pins;
    return FT_OK;
}

FT_STATUS BitBangPort::Write(const std::uint8_t *bytes, DWORD count, DWORD *written)
{
    *written = 0;
    if (count == 0) {
        return FT_OK;
    }
    const int size = static_cast<int>(std::min<DWORD>(count, INT_MAX));
    const int r = api_.write_data(context_, bytes, size);
    if (r < 0) {
        return Fail(FT_IO_ERROR, "ftdi_write_data", r);
    }
    *written = static_cast<DWORD>(r);
    if (*written < count) {
        SetLastMessage(name_ + ": " + std::to_string(*written) + " of " + std::to_string(count) +
                       " bytes went out before the time-out");
    }
    return FT_OK;
}

}  // namespace vserial
