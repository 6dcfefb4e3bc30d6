// SPDX-License-Identifier: MIT
// Which ports the serial D2XX library offers and in what order, how
// VONTREL_SERIAL_PORTS is read, and what each errno becomes.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "d2xx/serial/errors.h"
#include "d2xx/serial/ports.h"

namespace {

using vserial::PortInfo;

std::vector<std::string> Paths(const std::vector<PortInfo> &ports)
{
    std::vector<std::string> paths;
    for (const PortInfo &p : ports) {
        paths.push_back(p.path);
    }
    return paths;
}

TEST(Enumeration, KeepsTheMakersUsbPortsInBusOrder)
{
    const std::vector<PortInfo> scanned = {
        {"/dev/ttyUSB3", "Vontrel Synthesizer", "A3", 0x0403, "usb1/1-1.10/1-1.10:1.0/ttyUSB3"},
        {"/dev/ttyS0", "", "", std::nullopt, ""},
        {"/dev/ttyUSB0", "Vontrel Synthesizer", "A0", 0x0403, "usb1/1-1.2/1-1.2:1.0/ttyUSB0"},
        {"/dev/ttyACM0", "Vontrel look-alike", "C1", 0x2341, "usb1/1-1.1/1-1.1:1.0/ttyACM0"},
        {"/dev/ttyUSB2", "Dual A", "D", 0x0403, "usb2/2-1/2-1:1.1/ttyUSB2"},
        {"/dev/ttyUSB1", "Dual B", "D", 0x0403, "usb2/2-1/2-1:1.0/ttyUSB1"},
        {"/dev/ttyUSB4", "USB <-> Serial Cable", "", 0x0403, "usb1/1-1.9/1-1.9:1.0/ttyUSB4"},
    };
    // 1-1.2 before 1-1.9 before 1-1.10 (numbers compare as numbers), bus 1
    // before bus 2, interface 0 before 1; other vendors and ports not on USB
    // are left out.
    EXPECT_EQ(Paths(vserial::SelectConverters(scanned)),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB4", "/dev/ttyUSB3",
                                        "/dev/ttyUSB1", "/dev/ttyUSB2"}));
}

TEST(Enumeration, ReadsThePortList)
{
    struct Case {
        const char *text;
        std::vector<std::pair<std::string, std::string>> ports;  // path, description
    };
    const Case cases[] = {
        {"/dev/pts/3=Vontrel Synthesizer", {{"/dev/pts/3", "Vontrel Synthesizer"}}},
        {" /dev/ttyS0 = Vontrel , /dev/vontrel-A1,",
         {{"/dev/ttyS0", "Vontrel"}, {"/dev/vontrel-A1", ""}}},
        {"/dev/a=x=y", {{"/dev/a", "x=y"}}},  // the description runs to the comma
    };
    for (const Case &c : cases) {
        std::vector<std::pair<std::string, std::string>> got;
        for (const PortInfo &p : vserial::ParsePortList(c.text)) {
            got.emplace_back(p.path, p.description);
        }
        EXPECT_EQ(got, c.ports) << c.text;
    }
    for (const char *bad : {"", " , ", "=Vontrel", "ttyUSB0=Vontrel", "/dev/a,dev/b"}) {
        EXPECT_THROW(vserial::ParsePortList(bad), std::invalid_argument) << "'" << bad << "'";
    }
    // One port named twice would open once and then be "in use" by itself:
    // refused, naming both entries.
    std::string repeated;
    for (int i = 0; i < 9000; ++i) {
        repeated += "/dev/pts/3=Vontrel,";
    }
    for (const std::string &text : {std::string("/dev/a,/dev/b, /dev/a = Vontrel"), repeated}) {
        try {
            vserial::ParsePortList(text);
            ADD_FAILURE() << text.substr(0, 40) << " was taken";
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find("name the same port"), std::string::npos)
                << e.what();
        }
    }
}

TEST(Enumeration, FitsTextsIntoTheListBuffer)
{
    const std::string long_ascii(100, 'V');
    EXPECT_EQ(vserial::FitListText(long_ascii).size(), vserial::kListTextSize - 1);
    // A two-byte character across the limit is left out whole.
    const std::string accented = std::string(62, 'V') + "\xC3\xA9";
    EXPECT_EQ(vserial::FitListText(accented), std::string(62, 'V'));
    EXPECT_EQ(vserial::FitListText("Vontrel"), "Vontrel");
}

TEST(Errors, EachErrnoHasOneMeaning)
{
    using vserial::Stage;
    struct Case {
        int error;
        Stage stage;
        FT_STATUS status;
        bool gone;
        const char *words;  // part of what the user reads
    };
    const Case cases[] = {
        {EACCES, Stage::kOpen, FT_DEVICE_NOT_OPENED, false, "may not open"},
        {EWOULDBLOCK, Stage::kOpen, FT_DEVICE_NOT_OPENED, false, "in use"},
        {EBUSY, Stage::kOpen, FT_DEVICE_NOT_OPENED, false, "in use"},
        {ENOENT, Stage::kOpen, FT_DEVICE_NOT_FOUND, false, "no such port"},
        // Not a terminal: no such port, never "in use".
        {ENOTTY, Stage::kOpen, FT_DEVICE_NOT_FOUND, false, "not a serial port"},
        {EISDIR, Stage::kOpen, FT_DEVICE_NOT_FOUND, false, "not a serial port"},
        {EMFILE, Stage::kOpen, FT_INSUFFICIENT_RESOURCES, false, "too many open files"},
        {EIO, Stage::kOpenPort, FT_IO_ERROR, true, "went away"},
        {ENODEV, Stage::kOpenPort, FT_IO_ERROR, true, "went away"},
        {ETIMEDOUT, Stage::kOpenPort, FT_IO_ERROR, false, "write time-out"},
        {EINVAL, Stage::kOpenPort, FT_INVALID_PARAMETER, false, "refused"},
        {EDOM, Stage::kOpen, FT_DEVICE_NOT_OPENED, false, "could not be opened"},
        {EDOM, Stage::kOpenPort, FT_IO_ERROR, false, "failed"},
    };
    for (const Case &c : cases) {
        const vserial::ErrnoMeaning m = vserial::Meaning(c.error, c.stage);
        EXPECT_EQ(m.status, c.status) << c.error;
        EXPECT_EQ(m.gone, c.gone) << c.error;
        const std::string text = vserial::Describe("/dev/ttyUSB0", c.error, c.stage);
        EXPECT_NE(text.find(c.words), std::string::npos) << text;
        EXPECT_EQ(text.rfind("/dev/ttyUSB0: ", 0), 0u) << text;
    }
    EXPECT_NE(vserial::Describe("/dev/x", 9999, Stage::kOpen).find("9999"), std::string::npos);
}

}  // namespace
