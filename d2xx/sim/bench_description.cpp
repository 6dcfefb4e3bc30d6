// SPDX-License-Identifier: MIT
// The simulated bench as a process finds it: described by a JSON file
// (VONTREL_SIM_CONFIG) or the default bench, with the faults, trace, link
// timing and state file the environment names. A description is read
// strictly: every error names the file, the place in it and what was
// expected, and puts the bench out of order instead of guessing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <system_error>

#include "d2xx/sim/bench.h"
#include "d2xx/sim/environment.h"
#include "include/vontrel_mains.h"
#include "protocol/unit_protocol.h"

namespace vsim {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kTableLength = vontrel::mem::kTableEntries;
constexpr int kTableBase[4] = {vontrel::mem::kTableA, vontrel::mem::kTableB, vontrel::mem::kTableC,
                               vontrel::mem::kTableD};
constexpr const char *kTableNames[4] = {"A", "B", "C", "D"};
constexpr std::size_t kIdentityBytes = vontrel::mem::kIdentitySize;
constexpr std::size_t kRegisters = 8;

// Errors in one description, each at a place such as
// "converters[1].tables.C[17]".
class Description {
public:
    explicit Description(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void Fail(const std::string &place, const std::string &expected) const
    {
        throw BenchError(VSIM_BENCH_CONFIG,
                         "bench description " + path_ + ": " + place + ": " + expected);
    }

    // Only these keys may appear in the object at `place`.
    void OnlyKeys(const Json &object, const std::string &place,
                  std::initializer_list<const char *> allowed) const
    {
        for (const auto &[key, value] : object.items()) {
            bool known = false;
            std::string names;
            for (const char *name : allowed) {
                known = known || key == name;
                names += std::string(names.empty() ? "" : ", ") + name;
            }
            if (!known) {
                std::string expected = "unknown key \"" + key + "\"; the keys are ";
                expected += names;
                Fail(place, expected);
            }
        }
    }

    std::uint64_t Integer(const Json &v, const std::string &place, std::uint64_t max) const
    {
        if (v.is_number_unsigned() && v.get<std::uint64_t>() <= max) {
            return v.get<std::uint64_t>();
        }
        if (v.is_number_integer() && v.get<std::int64_t>() >= 0 &&
            static_cast<std::uint64_t>(v.get<std::int64_t>()) <= max) {
            return static_cast<std::uint64_t>(v.get<std::int64_t>());
        }
        Fail(place,
             "expected a whole number from 0 to " + std::to_string(max) + ", not " + v.dump());
    }

    std::uint8_t Byte(const Json &v, const std::string &place) const
    {
        return static_cast<std::uint8_t>(Integer(v, place, 255));
    }

    bool Bool(const Json &v, const std::string &place) const
    {
        if (!v.is_boolean()) {
            Fail(place, "expected true or false, not " + v.dump());
        }
        return v.get<bool>();
    }

    const Json &Array(const Json &v, const std::string &place, std::size_t size) const
    {
        if (!v.is_array() || v.size() != size) {
            Fail(place, "expected an array of " + std::to_string(size) + " entries");
        }
        return v;
    }

    // A memory address written as a JSON key: decimal digits only, so that
    // "045" is 45 and "zz" or "0x2d" an error.
    std::size_t Address(const std::string &key, const std::string &place) const
    {
        if (key.empty() || key.size() > 5 ||
            key.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(key) >= VSIM_MEMORY_SIZE) {
            Fail(place, "\"" + key + "\" is not a memory address: a decimal number from 0 to " +
                            std::to_string(VSIM_MEMORY_SIZE - 1));
        }
        return std::stoul(key);
    }

private:
    std::string path_;
};

// A mains switch's "mains" object:
//   {"serial": "MS0001", "outlets": {"1": [4660], "2": [12345]}, "on": [1, 2],
//    "boot_ms": 1000, "unpowered": "silent" | "vanish"}
// Every key is optional: outlets power nothing, every outlet starts on,
// units answer 1000 ms after their power comes back and fall silent
// without it.
MainsSwitch ConfiguredMains(const Description &d, const Json &m, const std::string &where,
                            std::string *serial)
{
    if (!m.is_object()) {
        d.Fail(where, "expected an object");
    }
    d.OnlyKeys(m, where, {"serial", "outlets", "on", "boot_ms", "unpowered"});
    MainsSwitch sw;
    if (m.contains("serial")) {
        const Json &text = m["serial"];
        if (!text.is_string() || text.get<std::string>().empty() ||
            text.get<std::string>().size() >= VSIM_DESCRIPTION_SIZE) {
            d.Fail(where + ".serial", "expected a text of 1 to " +
                                          std::to_string(VSIM_DESCRIPTION_SIZE - 1) + " bytes");
        }
        *serial = text.get<std::string>();
    }
    const auto outlet_of = [&](const std::string &key, const std::string &place) {
        if (key.size() != 1 || key[0] < '1' || key[0] > '0' + kOutlets) {
            d.Fail(place, "\"" + key + "\" is not an outlet: 1 to " + std::to_string(kOutlets));
        }
        return key[0] - '1';
    };
    if (m.contains("outlets")) {
        const Json &outlets = m["outlets"];
        if (!outlets.is_object()) {
            d.Fail(where + ".outlets", "expected an object of \"outlet\": [unit serial numbers]");
        }
        for (const auto &[key, units] : outlets.items()) {
            std::string place = where + ".outlets.";
            place += key;
            const int outlet = outlet_of(key, place);
            if (!units.is_array() || units.size() > kMaxConverters) {
                d.Fail(place, "expected an array of the serial numbers of the units it powers");
            }
            for (std::size_t i = 0; i < units.size(); ++i) {
                sw.powers[outlet].push_back(static_cast<std::uint16_t>(
                    d.Integer(units[i], place + "[" + std::to_string(i) + "]", 0xFFFF)));
            }
        }
    }
    if (m.contains("on")) {
        const Json &on = m["on"];
        if (!on.is_array() || on.size() > kOutlets) {
            d.Fail(where + ".on", "expected an array of the outlets on at the start, 1 to " +
                                      std::to_string(kOutlets));
        }
        sw.lines = 0;
        for (std::size_t i = 0; i < on.size(); ++i) {
            const std::string place = where + ".on[" + std::to_string(i) + "]";
            const auto outlet = d.Integer(on[i], place, kOutlets);
            if (outlet < 1) {
                d.Fail(place, "an outlet is 1 to " + std::to_string(kOutlets));
            }
            sw.lines = static_cast<std::uint8_t>(sw.lines | (1u << (outlet - 1)));
        }
    }
    if (m.contains("boot_ms")) {
        sw.boot =
            std::chrono::milliseconds(d.Integer(m["boot_ms"], where + ".boot_ms", kMaxLateMs));
    }
    if (m.contains("unpowered")) {
        const Json &how = m["unpowered"];
        if (!how.is_string() || (how != "silent" && how != "vanish")) {
            d.Fail(where + ".unpowered",
                   "expected \"silent\" (units stop answering) or \"vanish\" (they leave the USB "
                   "bus)");
        }
        sw.vanish = how == "vanish";
    }
    return sw;
}

// One converter of a description:
//   {"description": "...", "unit": true, "serial": 4660, "plugged": true, "locks": true,
//    "identity": [10 bytes], "tables": {"A": [189 bytes] | byte, ...},
//    "memory": {"45": 7}, "registers": [8 words]}
// or a mains switch: {"description": "...", "plugged": true, "mains": {...}}.
Converter ConfiguredConverter(const Description &d, const Json &c, std::size_t id)
{
    const std::string where = "converters[" + std::to_string(id) + "]";
    if (!c.is_object()) {
        d.Fail(where, "expected an object");
    }
    Converter conv;
    conv.description =
        c.contains("mains") ? VONTREL_MAINS_DEFAULT_DESCRIPTION : "Vontrel Synthesizer";
    if (c.contains("description")) {
        const Json &text = c["description"];
        if (!text.is_string() || text.get<std::string>().size() >= VSIM_DESCRIPTION_SIZE) {
            d.Fail(where + ".description", "expected a text of at most " +
                                               std::to_string(VSIM_DESCRIPTION_SIZE - 1) +
                                               " bytes");
        }
        conv.description = text.get<std::string>();
    }
    conv.is_unit = !c.contains("unit") || d.Bool(c["unit"], where + ".unit");
    conv.plugged = !c.contains("plugged") || d.Bool(c["plugged"], where + ".plugged");
    if (c.contains("mains")) {
        if (c.contains("unit") && conv.is_unit) {
            d.Fail(where + ".unit", "a mains switch is not a unit; leave \"unit\" out");
        }
        d.OnlyKeys(c, where + " (a mains switch)", {"description", "unit", "plugged", "mains"});
        conv.is_unit = false;
        conv.mains = ConfiguredMains(d, c["mains"], where + ".mains", &conv.serial_number);
        return conv;
    }
    if (!conv.is_unit) {
        d.OnlyKeys(c, where + " (not a unit)", {"description", "unit", "plugged"});
        return conv;
    }
    d.OnlyKeys(c, where,
               {"description", "unit", "plugged", "serial", "identity", "tables", "memory",
                "registers", "locks"});
    conv.locks = !c.contains("locks") || d.Bool(c["locks"], where + ".locks");
    const std::uint64_t serial =
        c.contains("serial") ? d.Integer(c["serial"], where + ".serial", 0xFFFF) : 1000 + id;
    FillUnitMemory(conv, static_cast<std::uint16_t>(serial));
    if (c.contains("identity")) {
        const Json &identity = d.Array(c["identity"], where + ".identity", kIdentityBytes);
        for (std::size_t i = 0; i < kIdentityBytes; ++i) {
            conv.memory[i] = d.Byte(identity[i], where + ".identity[" + std::to_string(i) + "]");
        }
    }
    if (c.contains("tables")) {
        const Json &tables = c["tables"];
        if (!tables.is_object()) {
            d.Fail(where + ".tables", "expected an object with the tables A, B, C, D");
        }
        d.OnlyKeys(tables, where + ".tables", {"A", "B", "C", "D"});
        for (int t = 0; t < 4; ++t) {
            if (!tables.contains(kTableNames[t])) {
                continue;
            }
            const Json &table = tables[kTableNames[t]];
            const std::string place = where + ".tables." + kTableNames[t];
            if (table.is_array()) {
                d.Array(table, place, kTableLength);
            }
            for (std::size_t k = 0; k < kTableLength; ++k) {
                conv.memory[kTableBase[t] + k] =
                    table.is_array() ? d.Byte(table[k], place + "[" + std::to_string(k) + "]")
                                     : d.Byte(table, place + " (one byte for all entries)");
            }
        }
    }
    if (c.contains("memory")) {
        if (!c["memory"].is_object()) {
            d.Fail(where + ".memory", "expected an object of \"address\": byte");
        }
        for (const auto &[key, value] : c["memory"].items()) {
            std::string place = where + ".memory.";
            place += key;
            conv.memory[d.Address(key, place)] = d.Byte(value, place);
        }
    }
    if (c.contains("registers")) {
        const Json &regs = d.Array(c["registers"], where + ".registers", kRegisters);
        for (std::size_t r = 0; r < kRegisters; ++r) {
            conv.registers[r] = static_cast<std::uint32_t>(
                d.Integer(regs[r], where + ".registers[" + std::to_string(r) + "]", 0xFFFFFFFF));
        }
    }
    return conv;
}

void Reset(Bench &bench)
{
    DropHandles(bench);
    bench.converters.clear();
    bench.faults.clear();
    bench.initialised = false;
    bench.persistent = false;
}

}  // namespace

std::string JsonMessage(const std::exception &e)
{
    const std::string what = e.what();
    const auto tag = what.rfind("] ", what.find(' '));
    return what.rfind("[json.exception.", 0) == 0 && tag != std::string::npos ? what.substr(tag + 2)
                                                                              : what;
}

std::string Env(const char *name)
{
    const char *v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
    return v != nullptr ? std::string(v) : std::string();
}

std::string ReadRegularFile(const std::string &path, const char *what, int kind)
{
    const auto fail = [&](const std::string &why) -> std::string {
        throw BenchError(kind, std::string(what) + " " + path + ": " + why);
    };
    // Non-blocking, so that a FIFO named by mistake is refused, not waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(std::generic_category().message(errno));
    }
    struct stat st {};
    std::string text;
    std::string problem;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "not a regular file";
    } else if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        problem = "larger than 16 MiB";
    } else {
        char chunk[65536];
        for (;;) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                problem = std::generic_category().message(errno);
                break;
            }
            if (n == 0) {
                break;
            }
            text.append(chunk, static_cast<std::size_t>(n));
            if (text.size() > kMaxFileBytes) {
                problem = "larger than 16 MiB";
                break;
            }
        }
    }
    close(fd);
    return problem.empty() ? text : fail(problem);
}

int WriteAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

void LoadConfigFile(Bench &bench, const std::string &path)
{
    const std::string text = ReadRegularFile(path, "bench description", VSIM_BENCH_CONFIG);
    const Description d(path);
    Json config;
    try {
        config = Json::parse(text);
    } catch (const Json::exception &e) {
        // The parser's message gives the line and column.
        d.Fail("not JSON", JsonMessage(e));
    }
    if (!config.is_object() || !config.contains("converters")) {
        d.Fail("top level", "expected {\"converters\": [...]}");
    }
    d.OnlyKeys(config, "top level", {"converters"});
    const Json &list = config["converters"];
    if (!list.is_array() || list.size() > kMaxConverters) {
        d.Fail("converters",
               "expected an array of at most " + std::to_string(kMaxConverters) + " converters");
    }
    std::vector<Converter> converters;
    for (std::size_t id = 0; id < list.size(); ++id) {
        converters.push_back(ConfiguredConverter(d, list[id], id));
        if (converters.back().serial_number.empty()) {
            converters.back().serial_number = DefaultSerialNumber(converters.back(), id);
        }
    }
    bench.converters = std::move(converters);
    ApplyPower(bench, true);
    bench.config_id = "file:" + std::to_string(std::hash<std::string>{}(text));
}

void LoadConfiguredBench(Bench &bench)
{
    Reset(bench);
    bench.initialised = true;
    bench.error.clear();
    bench.error_kind = 0;
    bench.state_text.clear();
    try {
        CheckLinkTimingEnvironment();
        OpenTraceFromEnvironment();
        const std::string config = Env("VONTREL_SIM_CONFIG");
        if (config.empty()) {
            LoadDefaultBench(bench);
            bench.config_id = "default";
        } else {
            LoadConfigFile(bench, config);
        }
        ArmFaultsFromEnvironment(bench);
        bench.state_path = StatePathFromEnvironment();
        bench.persistent = !bench.state_path.empty();
        LoadState(bench);
    } catch (const BenchError &e) {
        BreakBench(bench, e.kind(), e.what());
    }
}

bool EnsureBench(Bench &bench)
{
    if (!bench.initialised) {
        LoadConfiguredBench(bench);
    }
    return bench.error.empty();
}

void BreakBench(Bench &bench, int kind, const std::string &why)
{
    if (bench.error.empty()) {
        bench.error = why;
        bench.error_kind = kind;
    }
}

}  // namespace vsim

extern "C" int vsim_bench_error(char *text, size_t size)
{
    vsim::Locked bench;
    if (vsim::EnsureBench(*bench)) {
        return 0;
    }
    if (text != nullptr && size > 0) {
        const std::size_t n = std::min(size - 1, bench->error.size());
        std::memcpy(text, bench->error.data(), n);
        text[n] = '\0';
    }
    return bench->error_kind;
}
