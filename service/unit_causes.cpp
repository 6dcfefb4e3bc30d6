// SPDX-License-Identifier: MIT
#include "service/unit_causes.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>

#include "d2xx/ftd2xx.h"
#include "d2xx/serial/serial_d2xx.h"
#include "include/vontrel_status.h"

namespace vontrel::service {
namespace {

// The converter library libvontrel.so was loaded with, reached the way it
// reaches it: whichever libftd2xx.so is in the process.
template <typename Function>
Function *D2xx(const char *name)
{
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): how dlsym hands out functions
    return reinterpret_cast<Function *>(dlsym(RTLD_DEFAULT, name));
}

std::string SerialLastError()
{
    const auto last = D2xx<const char *()>(VONTREL_SERIAL_LAST_ERROR);
    const char *text = last != nullptr ? last() : nullptr;
    return text != nullptr ? std::string(text) : std::string();
}

// The file a converter's holder keeps open: the port the serial library
// named in its message ("PATH: words (ENAME: ...)"), or the simulator's
// lock file for the converter.
std::string HeldFile(int index, const std::string &message)
{
    if (!message.empty() && message[0] == '/') {
        return message.substr(0, message.find(": "));
    }
    const auto state_path = D2xx<const char *()>("vsim_state_path");
    const char *state = state_path != nullptr ? state_path() : nullptr;
    if (state != nullptr && *state != '\0') {
        return std::string(state) + ".conv" + std::to_string(index) + ".lock";
    }
    return "";
}

std::string Command(const std::string &pid)
{
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The process that holds a lock on the file (/proc/locks: "N: FLOCK
// ADVISORY WRITE PID MAJ:MIN:INODE ..."), or "": both the serial library
// and the simulator lock what they open, and a lock names its taker, where
// an open file may be open in other processes too (a pseudo-terminal's
// server).
std::string LockHolder(const struct stat &file)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    const std::string wanted =
        fmt::format("{:02x}:{:02x}:{}", major(file.st_dev), minor(file.st_dev), file.st_ino);
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, advisory, mode, pid, where;
        if (fields >> id >> kind) {
            if (kind == "->") {  // a waiter, not the holder
                continue;
            }
            fields >> advisory >> mode >> pid >> where;
            if (where == wanted && pid.find_first_not_of("0123456789") == std::string::npos) {
                return pid;
            }
        }
    }
    return "";
}

// Who has `path` open, as far as /proc tells: "pid N, name", "this
// program", or "" (not found, or other users' processes hidden). The
// process holding a lock on it first; else any that has it open.
std::string Holder(const std::string &path)
{
    struct stat wanted {};
    if (path.empty() || stat(path.c_str(), &wanted) != 0) {
        return "";
    }
    if (const std::string pid = LockHolder(wanted); !pid.empty()) {
        return pid == std::to_string(getpid()) ? "this program"
                                               : fmt::format("pid {}, {}", pid, Command(pid));
    }
    const bool device = S_ISCHR(wanted.st_mode);
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return "";
    }
    const std::string self = std::to_string(getpid());
    std::string found;
    bool here = false;
    while (const dirent *entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string fds = "/proc/" + pid + "/fd";
        DIR *dir = opendir(fds.c_str());
        if (dir == nullptr) {
            continue;
        }
        bool holds = false;
        while (const dirent *fd = readdir(dir)) {
            struct stat st {};
            if (fd->d_name[0] == '.' || stat((fds + "/" + fd->d_name).c_str(), &st) != 0) {
                continue;
            }
            holds = device ? S_ISCHR(st.st_mode) && st.st_rdev == wanted.st_rdev
                           : st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino;
            if (holds) {
                break;
            }
        }
        closedir(dir);
        if (holds && pid == self) {
            here = true;
        } else if (holds && found.empty()) {
            found = fmt::format("pid {}, {}", pid, Command(pid));
        }
    }
    closedir(proc);
    return !found.empty() ? found : here ? "this program" : "";
}

bool Says(const std::string &message, std::initializer_list<const char *> errnos)
{
    return std::any_of(errnos.begin(), errnos.end(), [&](const char *name) {
        return message.find(std::string("(") + name + ":") != std::string::npos;
    });
}

// Opens converter `index` alone, closes it again, and says why the walk
// did not open it.
std::optional<Unopened> Probe(int index)
{
    const auto list = D2xx<decltype(FT_ListDevices)>("FT_ListDevices");
    const auto open = D2xx<decltype(FT_Open)>("FT_Open");
    const auto close = D2xx<decltype(FT_Close)>("FT_Close");
    if (list == nullptr || open == nullptr || close == nullptr) {
        return std::nullopt;
    }
    Unopened u;
    u.index = index;
    char description[64] = {};
    const FT_STATUS listed = list(reinterpret_cast<void *>(static_cast<std::uintptr_t>(index)),
                                  description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    if (listed != FT_OK) {
        u.cause = Cause::kGone;
        return u;
    }
    u.description = description;
    if (u.description.empty() || u.description[0] != 'V') {
        return std::nullopt;  // not taken for a unit
    }
    FT_HANDLE handle = nullptr;
    const FT_STATUS opened = open(index, &handle);
    const std::string message = SerialLastError();
    if (opened == FT_OK) {
        close(handle);
        u.cause = Cause::kNotAnswering;
        return u;
    }
    u.detail = message.empty() ? vontrel_status_message(opened) : message;
    if (Says(message, {"ENOTTY", "EISDIR"})) {
        u.cause = Cause::kNotSerialPort;
    } else if (Says(message, {"ENOENT", "ENODEV", "ENXIO", "EIO", "EPIPE"}) ||
               (message.empty() && opened == FT_DEVICE_NOT_FOUND)) {
        u.cause = Cause::kGone;
    } else if (opened == FT_DEVICE_NOT_OPENED && !Says(message, {"EACCES", "EPERM"})) {
        u.cause = Cause::kHeld;
        u.holder = Holder(HeldFile(index, message));
    }
    return u;
}

}  // namespace

const char *CauseName(Cause cause)
{
    switch (cause) {
        case Cause::kHeld:
            return "held";
        case Cause::kNotAnswering:
            return "not_answering";
        case Cause::kNotSerialPort:
            return "not_serial_port";
        case Cause::kGone:
            return "gone";
        case Cause::kOther:
            break;
    }
    return "other";
}

std::string Unopened::Why() const
{
    switch (cause) {
        case Cause::kHeld:
            return holder == "this program" ? "open in this program already"
                   : holder.empty()         ? "in use by another program"
                                            : "in use by another program (" + holder + ")";
        case Cause::kNotAnswering:
            return "not answering";
        case Cause::kNotSerialPort:
            return "not a serial port";
        case Cause::kGone:
            return "gone (unplugged?)";
        case Cause::kOther:
            break;
    }
    return "could not be opened" + (detail.empty() ? std::string() : ": " + detail);
}

std::string Unopened::Text() const
{
    return fmt::format("index {} ({}): {}", index, description.empty() ? "?" : description, Why());
}

bool Walk::AnyHeldElsewhere() const
{
    return std::any_of(unopened.begin(), unopened.end(), [](const Unopened &u) {
        return u.cause == Cause::kHeld && u.holder != "this program";
    });
}

namespace {

Walk WalkOnce(const std::vector<int> &open_here)
{
    Walk walk;
    vontrel::Discovery found = vontrel::discover();
    walk.status = found.status;
    walk.units = std::move(found.units);
    if (found.matched <= static_cast<int>(walk.units.size())) {
        return walk;
    }
    // Count again, so that the listing by index below sees the same list
    // as an open by index.
    const auto list = D2xx<decltype(FT_ListDevices)>("FT_ListDevices");
    DWORD count = 0;
    if (list == nullptr || list(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) {
        return walk;
    }
    const int walked = std::min<int>(static_cast<int>(count), vontrel::kMaxConverters);
    for (int i = 0; i < walked; ++i) {
        const bool opened = std::any_of(walk.units.begin(), walk.units.end(),
                                        [&](const vontrel::Unit &u) { return u.index() == i; });
        if (opened) {
            continue;
        }
        if (std::find(open_here.begin(), open_here.end(), i) != open_here.end()) {
            walk.unopened.push_back(Unopened{i, "", Cause::kHeld, "this program", ""});
            continue;
        }
        {
            if (auto u = Probe(i)) {
                walk.unopened.push_back(std::move(*u));
            }
        }
    }
    return walk;
}

}  // namespace

Walk WalkUnits(const std::vector<int> &open_here)
{
    Walk walk = WalkOnce(open_here);
    // A converter that opened alone may only have been let go by its holder
    // since the walk: one more walk tells that from a unit that does not
    // answer.
    const bool opened_alone =
        std::any_of(walk.unopened.begin(), walk.unopened.end(),
                    [](const Unopened &u) { return u.cause == Cause::kNotAnswering; });
    if (opened_alone) {
        walk.units.clear();  // closed first, so that the walk opens them again
        walk = WalkOnce(open_here);
    }
    return walk;
}

std::string CausesText(const std::vector<Unopened> &unopened)
{
    std::string text;
    for (const Unopened &u : unopened) {
        text += (text.empty() ? "" : "\n") + u.Text();
    }
    return text;
}

}  // namespace vontrel::service
