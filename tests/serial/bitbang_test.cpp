// SPDX-License-Identifier: MIT
// A mains switch through libftdi, against a double of libftdi's functions:
// the calls and their order, the kernel's driver detached for the switch's
// interface only and given back at close, and what each failure becomes.
// Also where a switch is found in sysfs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "d2xx/serial/bitbang.h"
#include "d2xx/serial/enumerate.h"
#include "d2xx/serial/errors.h"
#include "d2xx/serial/ports.h"

namespace {

using vserial::BitBangPort;
using vserial::FtdiApi;

// libftdi as the switch sees it: one converter, its kernel driver, its
// lines, and the failures a test asks for (by function, the code it
// returns instead).
struct Double {
    std::vector<std::string> calls;
    std::map<std::string, int> fail;
    bool make_context = true;
    bool driver_attached = true;  // the kernel's driver holds the interface
    bool reattach_at_close = false;
    bool open = false;
    int interface = 0;
    unsigned char lines = 0x5A;
    unsigned char mask = 0;
    unsigned char mode = 0;
    int write_accepts = -1;  // bytes write_data takes; -1: all
    int read_ms = -1, write_ms = -1;
    int contexts = 0;  // alive

    int Fail(const std::string &call)
    {
        calls.push_back(call);
        const auto it = fail.find(call);
        return it != fail.end() ? it->second : 0;
    }
};

Double *the = nullptr;

ftdi_context *Context()
{
    static char token;
    return reinterpret_cast<ftdi_context *>(&token);
}

const FtdiApi kDouble{
    [] {
        the->calls.emplace_back("new");
        if (!the->make_context) {
            return static_cast<ftdi_context *>(nullptr);
        }
        ++the->contexts;
        return Context();
    },
    [](ftdi_context *) {
        the->calls.emplace_back("free");
        --the->contexts;
    },
    [](ftdi_context *, int interface) {
        the->interface = interface;
        return the->Fail("set_interface " + std::to_string(interface));
    },
    [](ftdi_context *, std::uint8_t bus, std::uint8_t address) {
        const int r =
            the->Fail("usb_open_bus_addr " + std::to_string(bus) + " " + std::to_string(address));
        if (r == 0) {
            the->open = true;
            the->driver_attached = false;  // auto-detach takes the interface from it
        }
        return r;
    },
    [](ftdi_context *) {
        const int r = the->Fail("usb_close");
        the->open = false;
        the->driver_attached = the->driver_attached || the->reattach_at_close;
        return r;
    },
    [](ftdi_context *, unsigned char mask, unsigned char mode) {
        const int r = the->Fail("set_bitmode " + std::to_string(mask) + " " + std::to_string(mode));
        if (r == 0) {
            the->mask = mask;
            the->mode = mode;
        }
        return r;
    },
    [](ftdi_context *, unsigned char *pins) {
        const int r = the->Fail("read_pins");
        if (r == 0) {
            *pins = the->lines;
        }
        return r;
    },
    [](ftdi_context *, const unsigned char *bytes, int size) {
        const int r = the->Fail("write_data " + std::to_string(size));
        if (r < 0) {
            return r;
        }
        const int taken = the->write_accepts < 0 ? size : std::min(size, the->write_accepts);
        if (taken > 0) {
            the->lines = bytes[taken - 1];
        }
        return taken;
    },
    [](ftdi_context *) { return "the double says no"; },
    [](ftdi_context *) {
        the->calls.emplace_back("detach_and_reattach");
        the->reattach_at_close = true;
    },
    [](ftdi_context *, int read_ms, int write_ms) {
        the->calls.emplace_back("set_timeouts");
        the->read_ms = read_ms;
        the->write_ms = write_ms;
    },
};

class BitBang : public ::testing::Test {
protected:
    void SetUp() override { the = &double_; }
    void TearDown() override { the = nullptr; }

    std::unique_ptr<BitBangPort> Open(FT_STATUS *status)
    {
        vserial::UsbAddress where;
        where.bus = 3;
        where.address = 7;
        where.interface = 1;
        where.node = "/dev/bus/usb/003/007";
        return BitBangPort::Open(kDouble, where, "switch", status);
    }

    Double double_;
};

TEST_F(BitBang, DetachesOnlyItsInterfaceDrivesTheLinesAndGivesItBack)
{
    FT_STATUS status = 99;
    auto port = Open(&status);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(status, FT_OK);
    // Interface B (the converter's second, libftdi's 2) is chosen and set to
    // be detached and given back before the device is opened.
    EXPECT_EQ(double_.calls,
              (std::vector<std::string>{"new", "set_interface 2", "detach_and_reattach",
                                        "usb_open_bus_addr 3 7"}));
    EXPECT_FALSE(double_.driver_attached);

    double_.calls.clear();
    EXPECT_EQ(port->SetTimeouts(1000, 500), FT_OK);
    EXPECT_EQ((std::pair{double_.read_ms, double_.write_ms}), (std::pair{1000, 500}));
    UCHAR lines = 0;
    EXPECT_EQ(port->GetBitMode(&lines), FT_OK);
    EXPECT_EQ(lines, 0x5A);
    EXPECT_EQ(port->SetBitMode(0xFF, FT_BITMODE_ASYNC_BITBANG), FT_OK);
    const std::uint8_t byte = 0x5A;
    DWORD written = 0;
    EXPECT_EQ(port->Write(&byte, 1, &written), FT_OK);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(double_.calls, (std::vector<std::string>{"set_timeouts", "read_pins",
                                                       "set_bitmode 255 1", "write_data 1"}));

    double_.calls.clear();
    port.reset();
    EXPECT_EQ(double_.calls, (std::vector<std::string>{"usb_close", "free"}));
    EXPECT_TRUE(double_.driver_attached) << "the kernel's driver was not given back";
    EXPECT_EQ(double_.contexts, 0);
}

TEST_F(BitBang, AnOpenThatFailsSaysWhyAndLeavesTheDriverItsInterface)
{
    struct Case {
        int code;
        FT_STATUS status;
        const char *words;
    };
    for (const Case c : {Case{-3, FT_DEVICE_NOT_FOUND, "left the USB bus"},
                         {-4, FT_DEVICE_NOT_OPENED, "/dev/bus/usb/003/007 does not open"},
                         {-5, FT_DEVICE_NOT_OPENED, "another program has it"},
                         {-11, FT_DEVICE_NOT_OPENED, "another program has it"},
                         {-6, FT_DEVICE_NOT_OPENED, "ftdi_usb_open_bus_addr failed"}}) {
        SCOPED_TRACE(c.code);
        double_ = Double{};
        double_.fail["usb_open_bus_addr 3 7"] = c.code;
        FT_STATUS status = 99;
        EXPECT_EQ(Open(&status), nullptr);
        EXPECT_EQ(status, c.status);
        const std::string message = vserial::LastMessage();
        EXPECT_NE(message.find(c.words), std::string::npos) << message;
        EXPECT_NE(message.find("the double says no"), std::string::npos) << message;
        EXPECT_TRUE(double_.driver_attached);
        EXPECT_EQ(double_.calls.back(), "free") << "closed what never opened";
        EXPECT_EQ(double_.contexts, 0);
    }
    double_ = Double{};
    double_.make_context = false;
    FT_STATUS status = 99;
    EXPECT_EQ(Open(&status), nullptr);
    EXPECT_EQ(status, FT_INSUFFICIENT_RESOURCES);
    double_ = Double{};
    double_.fail["set_interface 2"] = -2;
    EXPECT_EQ(Open(&status), nullptr);
    EXPECT_EQ(status, FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(double_.contexts, 0);
}

TEST_F(BitBang, CallsThatFailAreIoErrorsWithLibftdisWords)
{
    FT_STATUS status = 99;
    auto port = Open(&status);
    ASSERT_NE(port, nullptr);
    double_.fail["read_pins"] = -1;
    UCHAR lines = 0x99;
    EXPECT_EQ(port->GetBitMode(&lines), FT_IO_ERROR);
    EXPECT_EQ(lines, 0x99);
    EXPECT_NE(std::string(vserial::LastMessage()).find("ftdi_read_pins failed"), std::string::npos);
    EXPECT_EQ(port->GetBitMode(nullptr), FT_INVALID_PARAMETER);
    double_.fail["set_bitmode 255 1"] = -2;
    EXPECT_EQ(port->SetBitMode(0xFF, 1), FT_IO_ERROR);
    const std::uint8_t byte = 0x0F;
    DWORD written = 77;
    double_.fail["write_data 1"] = -666;
    EXPECT_EQ(port->Write(&byte, 1, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(double_.lines, 0x5A);
    // A write that ends at its time-out with nothing out is no failure of
    // the call: the count says it, and the caller decides.
    double_.fail.clear();
    double_.write_accepts = 0;
    EXPECT_EQ(port->Write(&byte, 1, &written), FT_OK);
    EXPECT_EQ(written, 0u);
    // A failed close still frees the context and gives the driver back.
    double_.fail["usb_close"] = -1;
    port.reset();
    EXPECT_TRUE(double_.driver_attached);
    EXPECT_EQ(double_.contexts, 0);
}

// --- Where switches are found ---

TEST(MainsSwitches, AreFoundByTheirDescriptionAndTheirPlaceOnTheBus)
{
    EXPECT_TRUE(vserial::IsMainsDescription("Mains Switch 8", "Mains Switch"));
    EXPECT_FALSE(vserial::IsMainsDescription("Mains Swit", "Mains Switch"));
    EXPECT_FALSE(vserial::IsMainsDescription("Mains Switch", ""));

    const auto place = vserial::UsbPlaceOf("usb1/1-1.2/1-1.2:1.1/ttyUSB3");
    ASSERT_TRUE(place);
    EXPECT_EQ(place->device, "1-1.2");
    EXPECT_EQ(place->interface, 1);
    EXPECT_EQ(vserial::UsbPlaceOf("usb1/1-1.2:1.0")->device, "1-1.2");
    for (const char *bad : {"", "usb1/1-1.2", "usb1/1-1.2:1.", "usb1/:1.0", "usb1/1-1:1.x"}) {
        EXPECT_FALSE(vserial::UsbPlaceOf(bad)) << bad;
    }
}

TEST(MainsSwitches, WithoutATtyAreFoundInSysfs)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("vontrel-sysfs-" + std::to_string(getpid()));
    const auto write = [](const fs::path &file, const std::string &text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    };
    // Two switches (one detached from its driver, one with its tty) and a
    // unit, as sysfs lays them out: devices and interfaces side by side.
    const fs::path devices = root / "bus" / "usb" / "devices";
    for (const auto &[device, product, tty] : {std::tuple{"1-3", "Mains Switch", false},
                                               {"1-4", "Mains Switch", true},
                                               {"1-5", "Vontrel Synthesizer", false}}) {
        write(devices / device / "idVendor", "0403");
        write(devices / device / "product", product);
        write(devices / device / "serial", std::string("SN") + device);
        write(devices / device / "busnum", "1");
        write(devices / device / "devnum", device == std::string("1-3") ? "12" : "13");
        fs::create_directories(devices / (std::string(device) + ":1.0"));
        if (tty) {
            fs::create_directories(devices / (std::string(device) + ":1.0") / "ttyUSB0");
        }
    }
    const auto found = vserial::ScanPortlessMains(root.string(), "Mains Switch");
    ASSERT_EQ(found.size(), 1U);
    EXPECT_TRUE(found[0].mains);
    EXPECT_EQ(found[0].serial, "SN1-3");
    EXPECT_TRUE(found[0].path.empty());
    const auto where = vserial::UsbAddressOf(root.string(), "usb1/1-3/1-3:1.0");
    ASSERT_TRUE(where);
    EXPECT_EQ((std::tuple{where->bus, where->address, where->interface, where->node}),
              (std::tuple{1, 12, 0, std::string("/dev/bus/usb/001/012")}));
    EXPECT_FALSE(vserial::UsbAddressOf(root.string(), "usb1/1-9/1-9:1.0"));
    fs::remove_all(root);
}

}  // namespace
