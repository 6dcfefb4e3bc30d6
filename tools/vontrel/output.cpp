// SPDX-License-Identifier: MIT
// Text and JSON output of the vontrel tool.
#include "tools/vontrel/output.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace vontrel::tool {
namespace {

// A CSV field: quoted, with quotes doubled, when it holds a comma, a quote
// or a line end.
std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

}  // namespace

std::string DumpJson(const Json &j, int indent)
{
    return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

void PrintJson(const Json &j)
{
    fmt::print("{}\n", DumpJson(j, 2));
}

std::string UnitName(const Unit &u)
{
    return fmt::format("unit {} (index {})", u.serial(), u.index());
}

Json UnitJson(const Unit &u)
{
    return Json{{"serial", u.serial()}, {"index", u.index()}};
}

const char *OnOff(bool on)
{
    return on ? "on" : "off";
}

Json SwitchJson(Switch s)
{
    return s == Switch::kUnknown ? Json(nullptr) : Json(static_cast<int>(s));
}

std::string SwitchText(Switch s)
{
    return s == Switch::kUnknown ? std::string("unknown pattern")
                                 : fmt::format("{}", static_cast<int>(s));
}

Json SettingsJson(const Settings &s)
{
    return Json{{"frequency_mhz", s.frequency_mhz},
                {"level", s.level},
                {"attenuation", s.attenuation},
                {"mode", static_cast<int>(s.mode)},
                {"switch", SwitchJson(s.output_switch)},
                {"flag_a", s.flag_a},
                {"flag_b", s.flag_b},
                {"flag_c", s.flag_c},
                {"trim_a", s.trim_a},
                {"trim_b", s.trim_b},
                {"auto_trim", s.auto_trim},
                {"stored_setting", s.stored_setting}};
}

void FlushStandardOutput()
{
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int saved = errno;
        std::clearerr(stdout);
        throw OutputError(
            fmt::format("cannot write to standard output: {}",
                        saved != 0 ? std::generic_category().message(saved) : "write error"),
            "check where the output goes (a full disk, a closed pipe)");
    }
}

void ProgressBar::Show(std::size_t done, std::size_t total, double mhz) const
{
    if (!shown_) {
        return;
    }
    constexpr std::size_t kWidth = 30;
    const std::size_t filled = total == 0 ? kWidth : done * kWidth / total;
    fmt::print(stderr, "\r[{:#<{}}{:.<{}}] {}/{}  {} MHz\033[K", "", filled, "", kWidth - filled,
               done, total, mhz);
    std::fflush(stderr);
}

void ProgressBar::Clear() const
{
    if (shown_) {
        fmt::print(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

Json PointJson(const Point &p)
{
    return Json{{"frequency_mhz", p.frequency_mhz},
                {"locked", p.locked},
                {"lock_ms", p.lock_ms < 0 ? Json(nullptr) : Json(p.lock_ms)},
                {"error", p.error.empty() ? Json(nullptr) : Json(p.error)}};
}

PointFile::PointFile(std::string path, std::string format)
    : path_(std::move(path)), format_(std::move(format))
{
    if (path_.empty()) {
        return;
    }
    // Non-blocking, so that a FIFO nobody reads is refused, not waited on.
    // Not truncated yet: see Begin().
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    const int flags = fd_ < 0 ? -1 : fcntl(fd_, F_GETFL);
    if (fd_ < 0 || flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int saved = errno;
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        throw OutputError(
            fmt::format("cannot write {}: {}", path_, std::generic_category().message(saved)),
            saved == ENOENT   ? "check that the folder exists"
            : saved == EISDIR ? "name a file, not a folder"
            : saved == ENXIO  ? "start the program that reads it first"
                              : "check the permissions, or choose another -o FILE");
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device or a pipe holds nothing to keep: its header goes now, so
        // that one that cannot be written stops the sweep before it starts.
        Begin();
    }
}

void PointFile::Begin()
{
    if (fd_ < 0 || begun_) {
        return;
    }
    begun_ = true;
    struct stat st {};
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd_, 0) != 0) {
        const int saved = errno;
        throw OutputError(
            fmt::format("cannot write {}: {}", path_, std::generic_category().message(saved)),
            "check the permissions, or choose another -o FILE");
    }
    if (format_ == "csv") {
        Put("frequency_mhz,locked,lock_ms,error\n");
    }
}

PointFile::~PointFile()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void PointFile::Write(const Point &p)
{
    if (fd_ < 0) {
        return;
    }
    if (format_ == "json") {
        Put(DumpJson(PointJson(p)) + "\n");
    } else {
        Put(fmt::format("{},{},{},{}\n", p.frequency_mhz, p.locked ? 1 : 0,
                        p.lock_ms < 0 ? std::string() : std::to_string(p.lock_ms),
                        CsvField(p.error)));
    }
    ++rows_;
}

void PointFile::Put(const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int saved = errno;
            throw OutputError(
                fmt::format("cannot write {}: {}", path_,
                            n < 0 ? std::generic_category().message(saved) : "nothing written"),
                rows_ == 0 ? std::string("check the free space and the permissions")
                           : fmt::format("check the free space; the {} points before this one "
                                         "are in the file",
                                         rows_));
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace vontrel::tool
