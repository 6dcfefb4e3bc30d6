// The state file: the configured bench's units (registers, memory, user
// preset) kept between processes, read and written under a file lock.
// VONTREL_SIM_STATE names it; "memory" keeps the state in the process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"

namespace vsim {
namespace {

using Json = nlohmann::json;

std::string DefaultStatePath()
{
    std::string dir = Env("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        dir += "/vontrel-sim";
    } else {
        dir = "/tmp/vontrel-sim-" + std::to_string(getuid());
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        ConfigError("cannot create " + dir + ": " + std::strerror(errno));
    }
    return dir + "/state.json";
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
               {"memory", Hex(c.memory.data(), c.memory.size())}};
        units.push_back(std::move(u));
    }
    return Json{{"config", bench.config_id}, {"units", units}}.dump(1) + "\n";
}

// Takes the units' state from a state file's text; false when the text does
// not belong to this bench's configuration or is damaged.
bool ApplyState(Bench &bench, const std::string &text)
{
    Json state;
    try {
        state = Json::parse(text);
        if (state.value("config", std::string()) != bench.config_id) {
            return false;
        }
        std::vector<Converter> converters = bench.converters;
        for (const Json &u : state.at("units")) {
            const auto id = u.at("id").get<std::size_t>();
            if (id >= converters.size() || !converters[id].is_unit) {
                return false;
            }
            Converter &c = converters[id];
            c.registers = u.at("registers").get<Registers>();
            c.programmed = u.at("programmed").get<bool>();
            c.user_preset.reset();
            if (!u.at("user_preset").is_null()) {
                c.user_preset = u.at("user_preset").get<Registers>();
            }
            if (!Unhex(u.at("memory").get<std::string>(), c.memory.data(), c.memory.size())) {
                return false;
            }
        }
        bench.converters = std::move(converters);
        return true;
    } catch (const Json::exception &) {
        return false;
    }
}

void WriteState(Bench &bench)
{
    const std::string text = SerialiseState(bench);
    if (text == bench.state_text) {
        return;
    }
    const std::string temp = bench.state_path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            std::fprintf(stderr, "vontrel simulator: cannot write %s\n", temp.c_str());
            return;
        }
    }
    if (std::rename(temp.c_str(), bench.state_path.c_str()) != 0) {
        std::fprintf(stderr, "vontrel simulator: cannot replace %s: %s\n", bench.state_path.c_str(),
                     std::strerror(errno));
        std::remove(temp.c_str());
        return;
    }
    bench.state_text = text;
}

int LockStateFile(const std::string &state_path)
{
    const std::string lock_path = state_path + ".lock";
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        ConfigError("cannot open " + lock_path + ": " + std::strerror(errno));
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ConfigError("cannot lock " + lock_path + ": " + std::strerror(errno));
        }
    }
    return fd;
}

void UnlockStateFile(int fd)
{
    flock(fd, LOCK_UN);
    close(fd);
}

// Reads the state file when it changed since this process last saw it.
void Refresh(Bench &bench)
{
    const std::string text = ReadWholeFile(bench.state_path);
    if (text == bench.state_text) {
        return;
    }
    if (!text.empty() && ApplyState(bench, text)) {
        bench.state_text = text;
    } else {
        bench.state_text.clear();  // none yet, another bench's or damaged: ours replaces it
    }
}

}  // namespace

std::string StatePathFromEnvironment()
{
    const std::string path = Env("VONTREL_SIM_STATE");
    return path == "memory" ? std::string() : path.empty() ? DefaultStatePath() : path;
}

StateSession::StateSession(Bench &bench) : bench_(bench)
{
    if (!bench_.persistent) {
        return;
    }
    lock_fd_ = LockStateFile(bench_.state_path);
    Refresh(bench_);
}

StateSession::~StateSession()
{
    if (lock_fd_ < 0) {
        return;
    }
    if (bench_.persistent) {
        WriteState(bench_);
    }
    UnlockStateFile(lock_fd_);
}

}  // namespace vsim

extern "C" const char *vsim_state_path(void)
{
    static thread_local std::string path;
    path = vsim::StatePathFromEnvironment();
    return path.c_str();
}

extern "C" void vsim_reset_state(void)
{
    vsim::Locked bench;
    const std::string path = vsim::StatePathFromEnvironment();
    if (!path.empty()) {
        const int fd = vsim::LockStateFile(path);
        std::remove(path.c_str());
        vsim::UnlockStateFile(fd);
    }
    if (bench->persistent || !bench->initialised) {
        // Forget what this process holds; the next call starts from the
        // configuration again.
        vsim::DropHandles(*bench);
        bench->converters.clear();
        bench->faults.clear();
        bench->initialised = false;
        bench->persistent = false;
    }
}
