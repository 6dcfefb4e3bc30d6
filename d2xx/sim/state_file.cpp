// SPDX-License-Identifier: MIT
// The state file: the configured bench's units (registers, memory, user
// preset) kept between processes, read and written under a file lock, and
// the lock files that keep each converter open in one process at a time.
// VONTREL_SIM_STATE names the file; "memory" keeps the state in the process.
//
// The file is a regular file of at most kMaxFileBytes, replaced whole by a
// rename, so a reader never sees half of it. One that cannot be read back
// is refused (the bench goes out of order with a message saying how to
// reset it), never silently replaced; one written for another bench
// description is replaced, since the units it describes no longer exist.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"

namespace vsim {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// How long a call waits for the state file's lock when its converter has
// no time-outs set: the library's time-outs.
constexpr auto kDefaultLockWait = std::chrono::milliseconds(2000);
constexpr auto kLockRetryFirst = std::chrono::microseconds(100);
constexpr auto kLockRetryMost = std::chrono::milliseconds(10);

const char *const kResetHint =
    "; 'vontrel-sim reset' deletes it (the units start again from the configuration at "
    "power-up), or point VONTREL_SIM_STATE at another file";

std::string DefaultFolder()
{
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!runtime.empty() && stat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return runtime + "/vontrel-sim";
    }
    return "/tmp/vontrel-sim-" + std::to_string(getuid());
}

// The default folder, created when missing. It must be a folder of this
// user's that nobody else may enter: in a shared /tmp another user could
// otherwise have made it first, or put a link there.
void MakePrivateFolder(const std::string &dir)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        throw BenchError(VSIM_BENCH_FILES, "cannot create the state folder " + dir + ": " +
                                               std::generic_category().message(errno));
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
        throw BenchError(VSIM_BENCH_FILES,
                         "the state folder " + dir +
                             " is not a folder of this user's closed to others (it is a link, "
                             "someone else's, or open to others); remove it, or point "
                             "VONTREL_SIM_STATE at a file");
    }
}

std::string StatePathName()
{
    const std::string path = Env("VONTREL_SIM_STATE");
    return path == "memory" ? std::string() : path.empty() ? DefaultFolder() + "/state.json" : path;
}

std::string Hex(const std::uint8_t *bytes, std::size_t n)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

bool Unhex(const std::string &text, std::uint8_t *bytes, std::size_t n)
{
    if (text.size() != n * 2) {
        return false;
    }
    auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const int hi = nibble(text[2 * i]);
        const int lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string SerialiseState(const Bench &bench)
{
    Json units = Json::array();
    for (std::size_t id = 0; id < bench.converters.size(); ++id) {
        const Converter &c = bench.converters[id];
        if (!c.is_unit) {
            continue;
        }
        Json u{{"id", id},
               {"registers", c.registers},
               {"programmed", c.programmed},
               {"user_preset", c.user_preset ? Json(*c.user_preset) : Json(nullptr)},
               {"memory", Hex(c.memory.data(), c.memory.size())},
               {"power", SerialisePower(c)}};
        units.push_back(std::move(u));
    }
    return Json{{"config", bench.config_id}, {"units", units}, {"switches", SerialiseMains(bench)}}
               .dump(1) +
           "\n";
}

Registers Words(const Json &v)
{
    Registers words{};
    if (!v.is_array() || v.size() != words.size()) {
        throw std::invalid_argument("registers are not 8 words");
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (!v[i].is_number_unsigned() || v[i].get<std::uint64_t>() > 0xFFFFFFFF) {
            throw std::invalid_argument("a register is not a 32-bit word");
        }
        words[i] = static_cast<std::uint32_t>(v[i].get<std::uint64_t>());
    }
    return words;
}

// Takes the units' state from a state file's text. Returns false when the
// file belongs to another bench description; throws BenchError when it is
// damaged.
bool ApplyState(Bench &bench, const std::string &text, const std::string &path)
{
    try {
        const Json state = Json::parse(text);
        if (!state.at("config").is_string()) {
            throw std::invalid_argument("no configuration named");
        }
        if (state.at("config").get<std::string>() != bench.config_id) {
            return false;
        }
        std::vector<Converter> converters = bench.converters;
        for (const Json &u : state.at("units")) {
            const auto id = u.at("id").get<std::size_t>();
            if (id >= converters.size() || !converters[id].is_unit) {
                throw std::invalid_argument("unit " + std::to_string(id) + " is not on the bench");
            }
            Converter &c = converters[id];
            c.registers = Words(u.at("registers"));
            c.programmed = u.at("programmed").get<bool>();
            c.user_preset.reset();
            if (!u.at("user_preset").is_null()) {
                c.user_preset = Words(u.at("user_preset"));
            }
            if (!Unhex(u.at("memory").get<std::string>(), c.memory.data(), c.memory.size())) {
                throw std::invalid_argument("a unit's memory is not " +
                                            std::to_string(VSIM_MEMORY_SIZE) + " bytes in hex");
            }
            ApplyPowerState(c, u);
        }
        ApplyMainsState(converters, state);
        bench.converters = std::move(converters);
        return true;
    } catch (const std::exception &e) {
        throw BenchError(VSIM_BENCH_FILES, "the state file " + path + " is damaged (" +
                                               JsonMessage(e) + ")" + kResetHint);
    }
}

void WriteState(Bench &bench)
{
    const std::string text = SerialiseState(bench);
    if (text == bench.state_text) {
        return;
    }
    const std::string temp = bench.state_path + ".tmp." + std::to_string(getpid());
    const auto fail = [&](const std::string &what) {
        const int saved = errno;
        (void)std::remove(temp.c_str());
        throw BenchError(VSIM_BENCH_FILES, "cannot save the state file " + bench.state_path + ": " +
                                               what + ": " +
                                               std::generic_category().message(saved) +
                                               "; free some space or point VONTREL_SIM_STATE at "
                                               "another file (or 'memory')");
    };
    // A new file of this process's own: O_EXCL refuses whatever is already
    // at the name (a link planted there, say). One left by an earlier
    // process with the same id is removed first; the state lock is held, so
    // no other writer of this process uses the name meanwhile.
    if (unlink(temp.c_str()) != 0 && errno != ENOENT) {
        fail("cannot remove the stale " + temp);
    }
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        fail("cannot create " + temp);
    }
    if (const int error = WriteAll(fd, text); error != 0) {
        close(fd);
        errno = error;
        fail("cannot write " + temp);
    }
    // On disk before the rename, so that a crash never leaves the state
    // file named but empty.
    if (fsync(fd) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        fail("cannot write " + temp);
    }
    if (close(fd) != 0) {
        fail("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), bench.state_path.c_str()) != 0) {
        fail("cannot replace it");
    }
    bench.state_text = text;
}

// Opens (creating it) the lock file `path`, never through a symbolic
// link: a link planted at the name would have the lock file created or
// opened wherever it points. Returns the descriptor, or -1 with the reason
// in `why`.
int OpenLockFile(const std::string &path, std::string *why)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) {
        const int error = errno;
        *why = "cannot open the lock file " + path + ": " +
               (error == ELOOP ? std::string("it is a symbolic link, which is never followed; "
                                             "remove it")
                               : std::generic_category().message(error));
    }
    return fd;
}

// Opens `path` and takes its lock, retrying until `deadline`. Returns the
// descriptor, or -1 when another process kept the lock until then.
int LockFile(const std::string &path, Clock::time_point deadline)
{
    std::string why;
    const int fd = OpenLockFile(path, &why);
    if (fd < 0) {
        throw BenchError(VSIM_BENCH_FILES, why);
    }
    auto pause = std::chrono::duration_cast<Clock::duration>(kLockRetryFirst);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return fd;
        }
        if (errno != EINTR && errno != EWOULDBLOCK) {
            const int saved = errno;
            close(fd);
            throw BenchError(VSIM_BENCH_FILES,
                             "cannot lock " + path + ": " + std::generic_category().message(saved));
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            close(fd);
            return -1;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min<Clock::duration>(pause * 2, kLockRetryMost);
    }
}

void Unlock(int fd)
{
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
}

// Reads the state file when it changed since this process last saw it.
void Refresh(Bench &bench)
{
    struct stat st {};
    const bool exists = stat(bench.state_path.c_str(), &st) == 0 || errno != ENOENT;
    const std::string text =
        exists ? ReadRegularFile(bench.state_path, "state file", VSIM_BENCH_FILES) : std::string();
    if (text == bench.state_text) {
        return;
    }
    if (!text.empty() && ApplyState(bench, text, bench.state_path)) {
        bench.state_text = text;
    } else {
        bench.state_text.clear();  // none yet, or another bench's: ours replaces it
    }
}

Clock::time_point Deadline(unsigned long timeout_ms)
{
    return Clock::now() + (timeout_ms > 0 ? std::chrono::milliseconds(timeout_ms)
                                          : std::chrono::milliseconds(kDefaultLockWait));
}

}  // namespace

std::string StatePathFromEnvironment()
{
    std::string path = StatePathName();
    if (Env("VONTREL_SIM_STATE").empty()) {
        MakePrivateFolder(DefaultFolder());
    }
    return path;
}

void LoadState(Bench &bench)
{
    if (!bench.persistent) {
        return;
    }
    // Finds a damaged or unusable file at once; a lock held elsewhere past
    // the time-out leaves the reading to the first call.
    const int fd = LockFile(bench.state_path + ".lock", Deadline(0));
    if (fd >= 0) {
        try {
            Refresh(bench);
        } catch (...) {
            Unlock(fd);
            throw;
        }
        Unlock(fd);
    }
}

StateSession::StateSession(Bench &bench, unsigned long timeout_ms) : bench_(bench)
{
    if (!EnsureBench(bench_)) {
        ok_ = false;
        return;
    }
    if (!bench_.persistent) {
        return;
    }
    try {
        lock_fd_ = LockFile(bench_.state_path + ".lock", Deadline(timeout_ms));
        if (lock_fd_ < 0) {
            ok_ = false;
            timed_out_ = true;
            return;
        }
        Refresh(bench_);
    } catch (const BenchError &e) {
        BreakBench(bench_, e.kind(), e.what());
        ok_ = false;
    }
}

StateSession::~StateSession()
{
    Unlock(lock_fd_);
}

bool StateSession::Commit()
{
    if (!ok_ || lock_fd_ < 0) {
        return ok_;
    }
    try {
        WriteState(bench_);
    } catch (const BenchError &e) {
        BreakBench(bench_, e.kind(), e.what());
        bench_.state_text.clear();
        ok_ = false;
    }
    return ok_;
}

int LockConverter(Bench &bench, int id)
{
    const std::string path = bench.state_path + ".conv" + std::to_string(id) + ".lock";
    std::string why;
    const int fd = OpenLockFile(path, &why);
    if (fd < 0) {
        BreakBench(bench, VSIM_BENCH_FILES, why);
        return -1;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        const int saved = errno;
        close(fd);
        if (saved == EWOULDBLOCK) {
            return kConverterBusy;
        }
        BreakBench(bench, VSIM_BENCH_FILES,
                   "cannot lock " + path + ": " + std::generic_category().message(saved));
        return -1;
    }
    return fd;
}

void UnlockConverter(int fd)
{
    Unlock(fd);
}

}  // namespace vsim

extern "C" const char *vsim_state_path(void)
{
    static thread_local std::string path;
    path = vsim::StatePathName();
    return path.c_str();
}

extern "C" void vsim_reset_state(void)
{
    vsim::Locked bench;
    std::string failure;
    try {
        const std::string path = vsim::StatePathFromEnvironment();
        struct stat st {};
        if (!path.empty() && lstat(path.c_str(), &st) == 0) {
            // Only a state file is deleted: never a folder or device that
            // VONTREL_SIM_STATE names by mistake.
            if (!S_ISREG(st.st_mode)) {
                failure = "the state file " + path + " is not a regular file; nothing was deleted";
            } else {
                const int fd = vsim::LockFile(path + ".lock", vsim::Deadline(0));
                if (unlink(path.c_str()) != 0) {
                    failure = "cannot delete the state file " + path + ": " +
                              std::generic_category().message(errno);
                }
                vsim::Unlock(fd);
            }
        }
    } catch (const vsim::BenchError &e) {
        failure = e.what();
    }
    if (bench->persistent || !bench->initialised || !bench->error.empty()) {
        // Forget what this process holds; the next call starts from the
        // configuration again.
        vsim::DropHandles(*bench);
        bench->converters.clear();
        bench->faults.clear();
        bench->initialised = false;
        bench->persistent = false;
        bench->error.clear();
        bench->error_kind = 0;
    }
    if (!failure.empty()) {
        // Said by vsim_bench_error until the next reset.
        bench->initialised = true;
        vsim::BreakBench(*bench, VSIM_BENCH_FILES, failure);
    }
}
