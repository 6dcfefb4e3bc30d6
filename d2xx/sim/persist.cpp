// The simulated bench as a process finds it: configured from a file or the
// default bench, its units' state kept in a state file between processes,
// plus the frame trace and link timing that the environment switches on.
//
// Environment:
//   VONTREL_SIM_CONFIG   JSON file describing the bench (default: two units
//                        and a converter that is not a unit)
//   VONTREL_SIM_STATE    state file; "memory" keeps the state in the process
//                        (default: $XDG_RUNTIME_DIR/vontrel-sim/state.json,
//                        else /tmp/vontrel-sim-<uid>/state.json)
//   VONTREL_SIM_TRACE    "stderr" or a file to append the frame trace to
//   VONTREL_SIM_TIMING   "1"/"on": exchanges take the time the link takes
//   VONTREL_SIM_LATENCY_MS  the converter's latency timer (default 16)
//   VONTREL_SIM_FAIL     faults to arm: FUNCTION:NTH:STATUS[,...], FUNCTION
//                        "*" for any call, STATUS a number or a name
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "d2xx/sim/bench.h"
#include "device/memory_map.h"
#include "include/vontrel_status.h"

namespace vsim {
namespace {

using Json = nlohmann::json;

constexpr int kTableLength = vontrel::mem::kTableEntries;
constexpr int kTableBase[4] = {vontrel::mem::kTableA, vontrel::mem::kTableB, vontrel::mem::kTableC,
                               vontrel::mem::kTableD};
constexpr int kIdentityBytes = vontrel::mem::kIdentitySize;
constexpr double kDefaultLatencyMs = 16.0;
constexpr double kBitsPerByte = 10.0;       // 8N1: start, 8 data, stop
constexpr double kBytesPerExchange = 16.0;  // command and response frames

std::string Env(const char *name)
{
    const char *v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
    return v != nullptr ? std::string(v) : std::string();
}

[[noreturn]] void ConfigError(const std::string &what)
{
    std::fprintf(stderr, "vontrel simulator: %s\n", what.c_str());
    std::abort();
}

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

std::string StatePathFromEnvironment()
{
    const std::string path = Env("VONTREL_SIM_STATE");
    return path == "memory" ? std::string() : path.empty() ? DefaultStatePath() : path;
}

std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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

std::uint8_t ByteOf(const Json &v, const std::string &where)
{
    if (!v.is_number_integer() || v.get<long>() < 0 || v.get<long>() > 255) {
        ConfigError(where + ": expected a byte, 0 to 255");
    }
    return static_cast<std::uint8_t>(v.get<long>());
}

// One converter of a configuration file:
//   {"description": "...", "unit": true, "serial": 4660, "plugged": true,
//    "identity": [10 bytes], "tables": {"A": [189 bytes] | byte, ...},
//    "memory": {"45": 7}, "registers": [8 words]}
Converter ConfiguredConverter(const Json &c, std::size_t id)
{
    const std::string where = "converter " + std::to_string(id);
    if (!c.is_object()) {
        ConfigError(where + ": expected an object");
    }
    Converter conv;
    conv.description = c.value("description", std::string("Vontrel Synthesizer"));
    conv.is_unit = c.value("unit", true);
    conv.plugged = c.value("plugged", true);
    if (!conv.is_unit) {
        return conv;
    }
    const long serial = c.value("serial", 1000L + static_cast<long>(id));
    if (serial < 0 || serial > 0xFFFF) {
        ConfigError(where + ": serial must be 0 to 65535");
    }
    FillUnitMemory(conv, static_cast<std::uint16_t>(serial));
    if (c.contains("identity")) {
        const Json &identity = c["identity"];
        if (!identity.is_array() || identity.size() != kIdentityBytes) {
            ConfigError(where + ": identity must be 10 bytes");
        }
        for (int i = 0; i < kIdentityBytes; ++i) {
            conv.memory[static_cast<std::size_t>(i)] = ByteOf(identity[i], where + " identity");
        }
    }
    if (c.contains("tables")) {
        const char *names[4] = {"A", "B", "C", "D"};
        for (int t = 0; t < 4; ++t) {
            if (!c["tables"].contains(names[t])) {
                continue;
            }
            const Json &table = c["tables"][names[t]];
            const std::string twhere = where + " table " + names[t];
            if (table.is_array() && table.size() != kTableLength) {
                ConfigError(twhere + ": expected 189 bytes or one byte for all");
            }
            for (int k = 0; k < kTableLength; ++k) {
                conv.memory[static_cast<std::size_t>(kTableBase[t] + k)] =
                    ByteOf(table.is_array() ? table[static_cast<std::size_t>(k)] : table, twhere);
            }
        }
    }
    if (c.contains("memory")) {
        for (const auto &[address, value] : c["memory"].items()) {
            const long a = std::strtol(address.c_str(), nullptr, 0);
            if (a < 0 || a >= VSIM_MEMORY_SIZE) {
                ConfigError(where + ": memory address " + address + " is out of range");
            }
            conv.memory[static_cast<std::size_t>(a)] = ByteOf(value, where + " memory");
        }
    }
    if (c.contains("registers")) {
        const Json &regs = c["registers"];
        if (!regs.is_array() || regs.size() != conv.registers.size()) {
            ConfigError(where + ": registers must be 8 words");
        }
        for (std::size_t r = 0; r < conv.registers.size(); ++r) {
            conv.registers[r] = regs[r].get<std::uint32_t>();
        }
    }
    return conv;
}

void LoadConfigFile(Bench &bench, const std::string &path)
{
    const std::string text = ReadWholeFile(path);
    if (text.empty()) {
        ConfigError("cannot read the bench configuration " + path);
    }
    Json config;
    try {
        config = Json::parse(text);
    } catch (const Json::exception &e) {
        ConfigError(path + ": " + e.what());
    }
    if (!config.contains("converters") || !config["converters"].is_array()) {
        ConfigError(path + ": expected {\"converters\": [...]}");
    }
    bench.converters.clear();
    std::size_t id = 0;
    for (const Json &c : config["converters"]) {
        bench.converters.push_back(ConfiguredConverter(c, id++));
    }
    bench.config_id = "file:" + std::to_string(std::hash<std::string>{}(text));
}

FT_STATUS StatusByName(const std::string &text)
{
    for (FT_STATUS s = 0; s < 32; ++s) {
        if (text == vontrel_status_name(s)) {
            return s;
        }
    }
    return static_cast<FT_STATUS>(std::strtoul(text.c_str(), nullptr, 0));
}

void ArmFaultsFromEnvironment(Bench &bench)
{
    std::istringstream rules(Env("VONTREL_SIM_FAIL"));
    std::string rule;
    while (std::getline(rules, rule, ',')) {
        const auto a = rule.find(':');
        const auto b = rule.find(':', a == std::string::npos ? a : a + 1);
        if (a == std::string::npos || b == std::string::npos) {
            ConfigError("VONTREL_SIM_FAIL: expected FUNCTION:NTH:STATUS, not '" + rule + "'");
        }
        Fault fault;
        fault.function = rule.substr(0, a) == "*" ? "" : rule.substr(0, a);
        fault.remaining = std::strtol(rule.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
        fault.status = StatusByName(rule.substr(b + 1));
        bench.faults.push_back(fault);
    }
}

// --- State file ---

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

// --- Trace ---

struct Trace {
    int fd = -1;
    Trace()
    {
        const std::string target = Env("VONTREL_SIM_TRACE");
        if (target.empty()) {
            return;
        }
        if (target == "stderr" || target == "-") {
            fd = STDERR_FILENO;
            return;
        }
        fd = open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::fprintf(stderr, "vontrel simulator: cannot open the trace %s: %s\n",
                         target.c_str(), std::strerror(errno));
        }
    }
    void Line(const std::string &text) const
    {
        if (fd < 0) {
            return;
        }
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm local{};
        localtime_r(&now.tv_sec, &local);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min,
                      local.tm_sec, now.tv_nsec / 1000);
        const std::string line =
            std::string(stamp) + " pid " + std::to_string(getpid()) + " " + text + "\n";
        // One write per line keeps lines whole when processes share the file.
        [[maybe_unused]] const ssize_t n = write(fd, line.data(), line.size());
    }
};

const Trace &TheTrace()
{
    static const Trace trace;
    return trace;
}

std::string StatusSuffix(FT_STATUS status)
{
    return status == FT_OK ? std::string() : std::string("  ") + vontrel_status_name(status);
}

}  // namespace

void LoadConfiguredBench(Bench &bench)
{
    const std::string config = Env("VONTREL_SIM_CONFIG");
    if (config.empty()) {
        LoadDefaultBench(bench);
        bench.config_id = "default";
    } else {
        LoadConfigFile(bench, config);
    }
    bench.initialised = true;
    ArmFaultsFromEnvironment(bench);
    bench.state_path = StatePathFromEnvironment();
    bench.persistent = !bench.state_path.empty();
    bench.state_text.clear();
}

void EnsureBench(Bench &bench)
{
    if (!bench.initialised) {
        LoadConfiguredBench(bench);
    }
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

void TraceFrame(int converter, const char *direction, const std::uint8_t *bytes, DWORD count,
                FT_STATUS status)
{
    const Trace &trace = TheTrace();
    if (trace.fd < 0) {
        return;
    }
    std::string text = "conv " + std::to_string(converter) + " " + direction;
    char byte[4];
    for (DWORD i = 0; i < count && i < 8; ++i) {
        std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
        text += byte;
    }
    trace.Line(text + StatusSuffix(status));
}

void TraceEvent(int converter, const char *what, FT_STATUS status)
{
    TheTrace().Line("conv " + std::to_string(converter) + " " + what + StatusSuffix(status));
}

std::chrono::steady_clock::duration ExchangeTime(ULONG baud)
{
    static const bool on = [] {
        const std::string v = Env("VONTREL_SIM_TIMING");
        return v == "1" || v == "on" || v == "yes" || v == "true";
    }();
    static const double latency_ms = [] {
        const std::string v = Env("VONTREL_SIM_LATENCY_MS");
        return v.empty() ? kDefaultLatencyMs : std::strtod(v.c_str(), nullptr);
    }();
    if (!on || baud == 0) {
        return std::chrono::steady_clock::duration::zero();
    }
    // Both frames cross the wire (8.32 ms at 19230 baud); the converter then
    // holds the short response until its latency timer next fires, so an
    // exchange ends on the first tick after the wire time: 16 ms by default.
    const double wire_ms = kBytesPerExchange * kBitsPerByte * 1000.0 / baud;
    const double ms = latency_ms > 0.0 ? std::ceil(wire_ms / latency_ms) * latency_ms : wire_ms;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
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
