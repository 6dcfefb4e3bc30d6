// Text and JSON output of the vontrel tool.
#include "tools/output.h"

#include <fmt/format.h>

#include <fstream>

#include "tools/commands.h"

namespace vontrel::tool {

void PrintJson(const Json &j)
{
    fmt::print("{}\n", j.dump(2));
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

void WritePoints(const std::string &path, const std::string &format,
                 const std::vector<Point> &points)
{
    std::ofstream out(path);
    if (!out) {
        throw DeviceError(fmt::format("cannot write {}", path), "check the folder exists");
    }
    if (format == "json") {
        Json all = Json::array();
        for (const Point &p : points) {
            all.push_back(Json{{"frequency_mhz", p.frequency_mhz},
                               {"locked", p.locked},
                               {"lock_ms", p.lock_ms < 0 ? Json(nullptr) : Json(p.lock_ms)}});
        }
        out << all.dump(2) << '\n';
    } else {
        out << "frequency_mhz,locked,lock_ms\n";
        for (const Point &p : points) {
            out << fmt::format("{},{},{}\n", p.frequency_mhz, p.locked ? 1 : 0,
                               p.lock_ms < 0 ? std::string() : std::to_string(p.lock_ms));
        }
    }
    if (!out.flush()) {
        throw DeviceError(fmt::format("writing {} failed", path), "check the free space");
    }
}

}  // namespace vontrel::tool
