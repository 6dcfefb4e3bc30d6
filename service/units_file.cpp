// SPDX-License-Identifier: MIT
// Reading and checking the units file.
#include "service/units_file.h"

#include <fmt/format.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace vontrel::service {
namespace {

using Json = nlohmann::json;

// The largest units file taken.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

[[noreturn]] void Refuse(const std::string &name, const std::string &place, const std::string &why)
{
    throw std::invalid_argument(fmt::format("{}: {}: {}", name, place, why));
}

void OnlyKeys(const Json &object, std::initializer_list<const char *> keys, const std::string &name,
              const std::string &place)
{
    if (!object.is_object()) {
        Refuse(name, place.empty() ? "the file" : place, "not an object");
    }
    for (const auto &[key, value] : object.items()) {
        bool known = false;
        for (const char *k : keys) {
            known = known || key == k;
        }
        if (!known) {
            Refuse(name, place.empty() ? key : place + "." + key, "not a key of the units file");
        }
    }
}

int SerialOf(const std::string &key, const std::string &name)
{
    // Decimal digits only: from_chars alone would take "-0" for unit 0.
    int serial = -1;
    const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), serial);
    if (key.empty() || key.find_first_not_of("0123456789") != std::string::npos ||
        ec != std::errc() || end != key.data() + key.size() || serial > 65535 ||
        (key.size() > 1 && key[0] == '0')) {
        Refuse(name, "units." + key, "a unit is named by its serial number, 0 to 65535");
    }
    return serial;
}

UnitConfig ParseUnit(const Json &entry, const std::string &name, const std::string &place)
{
    OnlyKeys(entry, {"level_offset_db", "output_off", "power"}, name, place);
    UnitConfig unit;
    if (entry.contains("level_offset_db")) {
        const Json &v = entry["level_offset_db"];
        if (!v.is_number() || !std::isfinite(v.get<double>()) ||
            std::fabs(v.get<double>()) > kMaxLevelOffsetDb) {
            Refuse(name, place + ".level_offset_db",
                   fmt::format("a number of dB, -{0} to {0}", kMaxLevelOffsetDb));
        }
        unit.level_offset_db = v.get<double>();
    }
    if (entry.contains("output_off")) {
        const Json &v = entry["output_off"];
        const std::string text = v.is_string() ? v.get<std::string>() : "";
        if (text == "refuse") {
            unit.output_off = OutputOff::kRefuse;
        } else if (text == "mute") {
            unit.output_off = OutputOff::kMute;
        } else if (text == "mains") {
            unit.output_off = OutputOff::kMains;
        } else {
            Refuse(name, place + ".output_off", R"(one of "refuse", "mute", "mains")");
        }
    }
    if (entry.contains("power")) {
        const Json &p = entry["power"];
        const std::string where = place + ".power";
        OnlyKeys(p, {"switch", "outlet", "boot_s"}, name, where);
        PowerOutlet power;
        if (p.contains("switch")) {
            if (!p["switch"].is_string() || p["switch"].get<std::string>().empty()) {
                Refuse(name, where + ".switch", "the serial number of the switch, a string");
            }
            power.switch_serial = p["switch"].get<std::string>();
        }
        if (!p.contains("outlet") || !p["outlet"].is_number_integer() ||
            p["outlet"].get<long long>() < 1 || p["outlet"].get<long long>() > kMainsOutlets) {
            Refuse(name, where + ".outlet", fmt::format("an outlet, 1 to {}", kMainsOutlets));
        }
        power.outlet = p["outlet"].get<int>();
        if (p.contains("boot_s")) {
            const Json &v = p["boot_s"];
            if (!v.is_number() || !(v.get<double>() >= 0.0 && v.get<double>() <= kMaxBootS)) {
                Refuse(name, where + ".boot_s",
                       fmt::format("a time in seconds, 0 to {}", kMaxBootS));
            }
            power.boot_s = v.get<double>();
        }
        unit.power = power;
    }
    if (unit.output_off == OutputOff::kMains && !unit.power) {
        Refuse(name, place + ".output_off", R"("mains" needs the unit's "power" outlet)");
    }
    return unit;
}

bool Exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Env(const char *name)
{
    const char *v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
    return v != nullptr ? v : "";
}

}  // namespace

const char *OutputOffName(OutputOff o)
{
    switch (o) {
        case OutputOff::kMute:
            return "mute";
        case OutputOff::kMains:
            return "mains";
        case OutputOff::kRefuse:
            break;
    }
    return "refuse";
}

const UnitConfig &UnitsFile::For(int serial) const
{
    static const UnitConfig kNone;
    const auto it = units.find(serial);
    return it != units.end() ? it->second : kNone;
}

UnitsFile ParseUnitsFile(const std::string &text, const std::string &name)
{
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::exception &e) {
        Refuse(name, "the file", fmt::format("not JSON ({})", e.what()));
    }
    OnlyKeys(doc, {"units"}, name, "");
    UnitsFile file;
    file.path = name;
    if (doc.contains("units")) {
        const Json &units = doc["units"];
        if (!units.is_object()) {
            Refuse(name, "units", "an object of units by serial number");
        }
        for (const auto &[key, entry] : units.items()) {
            file.units[SerialOf(key, name)] = ParseUnit(entry, name, "units." + key);
        }
    }
    return file;
}

UnitsFile LoadUnitsFile(const std::string &path)
{
    // Opened without waiting, so that a FIFO nobody writes cannot hang the
    // program, and taken only when it is a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error(
            fmt::format("{}: cannot be read ({})", path, std::strerror(errno)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw std::invalid_argument(fmt::format("{}: not a regular file", path));
    }
    std::string text(kMaxFileBytes + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error(
                fmt::format("{}: cannot be read ({})", path, std::strerror(error)));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    if (text.size() > kMaxFileBytes) {
        throw std::invalid_argument(fmt::format("{}: larger than {} bytes", path, kMaxFileBytes));
    }
    return ParseUnitsFile(text, path);
}

std::string DefaultUnitsFilePath()
{
    if (std::string named = Env(kUnitsFileVariable); !named.empty()) {
        return named;
    }
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty() && !Env("HOME").empty()) {
        config = Env("HOME") + "/.config";
    }
    if (!config.empty() && Exists(config + "/vontrel/units.json")) {
        return config + "/vontrel/units.json";
    }
    if (Exists("/etc/vontrel/units.json")) {
        return "/etc/vontrel/units.json";
    }
    return "";
}

UnitsFile LoadConfiguredUnitsFile(const std::string &path)
{
    const std::string chosen = path.empty() ? DefaultUnitsFilePath() : path;
    return chosen.empty() ? UnitsFile{} : LoadUnitsFile(chosen);
}

OutputOff EffectiveOutputOff(const UnitConfig &config)
{
    if (config.output_off) {
        return *config.output_off;
    }
    return config.power ? OutputOff::kMains : OutputOff::kMute;
}

}  // namespace vontrel::service
