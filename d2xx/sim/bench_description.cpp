// The simulated bench as a process finds it: described by a JSON file
// (VONTREL_SIM_CONFIG) or the default bench, with the faults and the state
// file the environment names.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"
#include "device/memory_map.h"

namespace vsim {
namespace {

using Json = nlohmann::json;

constexpr int kTableLength = vontrel::mem::kTableEntries;
constexpr int kTableBase[4] = {vontrel::mem::kTableA, vontrel::mem::kTableB, vontrel::mem::kTableC,
                               vontrel::mem::kTableD};
constexpr int kIdentityBytes = vontrel::mem::kIdentitySize;

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

}  // namespace

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

}  // namespace vsim
