// SPDX-License-Identifier: MIT
// What `vontrel doctor` reads of a system, against a fake one (root/): a
// unit at USB 1-1 with a 1 ms latency timer, a cable that is not a unit at
// 1-2, a unit at 1-10 whose node this user may not open, a unit at 1-3 with
// no driver bound, and a virtual terminal. The test copies the tree, takes
// the permission away and holds 1-1's port as another program would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/vontrel/sysfs.h"

namespace {

namespace fs = std::filesystem;
using vontrel::tool::Examination;
using vontrel::tool::Examine;

constexpr uid_t kNobody = 65534;

std::vector<std::string> Summary(const Examination &e)
{
    std::vector<std::string> lines{"terminals " + std::to_string(e.terminals)};
    for (const vontrel::tool::SerialPort &p : e.converters) {
        lines.push_back(p.port.path + " | " + p.port.description + " | " + p.port.serial + " | " +
                        p.driver + " | " + std::to_string(p.latency_ms.value_or(-1)) + " | " +
                        (p.is_unit ? "unit" : "not a unit") + " | " + AccessName(p.access));
    }
    for (const vontrel::tool::PortlessConverter &c : e.portless) {
        lines.push_back("no port: " + c.location + " | " + c.description);
    }
    for (const vontrel::tool::Problem &p : Diagnose(e)) {
        lines.push_back("problem: " + p.what);
    }
    return lines;
}

// Examines `root` as a user who is not root: in a child that drops to
// nobody when the test runs as root, since root may open anything.
std::vector<std::string> ExamineAsUser(const fs::path &root)
{
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(1);
        }
        std::string text;
        for (const std::string &line : Summary(Examine(root, std::nullopt))) {
            text += line + "\n";
        }
        const bool whole = write(out[1], text.data(), text.size()) == ssize_t(text.size());
        _exit(whole ? 0 : 1);
    }
    close(out[1]);
    std::string text;
    char chunk[512];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class FakeSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vontrel-doctor-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::copy(VONTREL_FAKE_ROOT, root_,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_exec |
                                   fs::perms::group_read | fs::perms::others_exec |
                                   fs::perms::others_read);
        const auto rw = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
        fs::permissions(root_ / "dev/ttyUSB0", rw);
        fs::permissions(root_ / "dev/ttyUSB1", rw);
        fs::permissions(root_ / "dev/ttyUSB2", fs::perms::none);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

TEST_F(FakeSystem, SeesEachConverterAndWhatStandsInTheWay)
{
    const int held = open((root_ / "dev/ttyUSB0").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const std::vector<std::string> expected = {
        "terminals 4",
        // In the library's enumeration order: 1-10 after 1-2.
        "/dev/ttyUSB0 | Vontrel Synthesizer | VT000123 | ftdi_sio | 1 | unit | held by another "
        "program",
        "/dev/ttyUSB1 | USB <-> Serial Cable | FT99 | ftdi_sio | 16 | not a unit | yes",
        "/dev/ttyUSB2 | Vontrel Synthesizer | VT000456 | ftdi_sio | 16 | unit | no permission",
        "no port: usb1/1-3 | Vontrel Synthesizer",
        "problem: the converter at USB usb1/1-3 (\"Vontrel Synthesizer\") has no serial port: no "
        "driver is bound to it",
        "problem: the udev rule 60-vontrel.rules is not installed",
        "problem: /dev/ttyUSB0: another program holds it",
        "problem: /dev/ttyUSB2: this user may not open it",
        "problem: /dev/ttyUSB2: the latency timer is 16 ms, so every exchange waits for it",
    };
    EXPECT_EQ(ExamineAsUser(root_), expected);
    close(held);

    fs::create_directories(root_ / "etc/udev/rules.d");
    std::ofstream(root_ / "etc/udev/rules.d" / vontrel::tool::kUdevRuleFile) << "\n";
    EXPECT_EQ(Examine(root_, std::nullopt).rule,
              "/etc/udev/rules.d/" + std::string(vontrel::tool::kUdevRuleFile));
}

TEST_F(FakeSystem, SaysWhenNoConverterIsAttached)
{
    fs::remove_all(root_ / "sys");
    const std::vector<vontrel::tool::Problem> problems = Diagnose(Examine(root_, std::nullopt));
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems[0].what.find("no USB serial converter"), std::string::npos);
}

}  // namespace
