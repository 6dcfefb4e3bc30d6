// How the vontrel tool shows what it found: text and JSON forms of units
// and settings, the progress bar, and sweep files.
#ifndef VONTREL_TOOLS_OUTPUT_H
#define VONTREL_TOOLS_OUTPUT_H

#include <fmt/format.h>

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "include/vontrel.hpp"

namespace vontrel::tool {

using Json = nlohmann::ordered_json;

void PrintJson(const Json &j);
std::string UnitName(const Unit &u);
Json UnitJson(const Unit &u);
const char *OnOff(bool on);
Json SwitchJson(Switch s);
std::string SwitchText(Switch s);
Json SettingsJson(const Settings &s);

class ProgressBar {
public:
    explicit ProgressBar(bool shown) : shown_(shown) {}
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    ~ProgressBar() { Clear(); }

    void Show(std::size_t done, std::size_t total, double mhz)
    {
        if (!shown_) {
            return;
        }
        constexpr std::size_t kWidth = 30;
        const std::size_t filled = total == 0 ? kWidth : done * kWidth / total;
        fmt::print(stderr, "\r[{:#<{}}{:.<{}}] {}/{}  {} MHz\033[K", "", filled, "",
                   kWidth - filled, done, total, mhz);
        std::fflush(stderr);
    }
    void Clear()
    {
        if (shown_) {
            fmt::print(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    }

private:
    bool shown_;
};

struct Point {
    double frequency_mhz = 0.0;
    bool locked = false;
    long lock_ms = -1;
};

void WritePoints(const std::string &path, const std::string &format,
                 const std::vector<Point> &points);

}  // namespace vontrel::tool

#endif
