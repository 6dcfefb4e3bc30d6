// SPDX-License-Identifier: MIT
// How the vontrel tool shows what it found: text and JSON forms of units,
// settings and sweep points, the progress bar, the sweep file, and checks
// that what was written did get written.
#ifndef VONTREL_TOOLS_VONTREL_OUTPUT_H
#define VONTREL_TOOLS_VONTREL_OUTPUT_H

#include <cstddef>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "include/vontrel.hpp"

namespace vontrel::tool {

using Json = nlohmann::ordered_json;

// Output that could not be written (standard output, the sweep file): exit
// status 1, with what to try.
class OutputError : public std::runtime_error {
public:
    OutputError(const std::string &what, std::string hint)
        : std::runtime_error(what), hint_(std::move(hint))
    {
    }
    const std::string &hint() const { return hint_; }

private:
    std::string hint_;
};

// The text of `j`; bytes that are not UTF-8 (a file name, a port's
// description) come out as U+FFFD instead of failing the dump.
std::string DumpJson(const Json &j, int indent = -1);
void PrintJson(const Json &j);
std::string UnitName(const Unit &u);
Json UnitJson(const Unit &u);
const char *OnOff(bool on);
Json SwitchJson(Switch s);
std::string SwitchText(Switch s);
Json SettingsJson(const Settings &s);

// Flushes standard output; throws OutputError when anything written to it
// was lost (a full disk, a closed pipe).
void FlushStandardOutput();

// A progress bar on standard error, shown only when `shown`.
class ProgressBar {
public:
    explicit ProgressBar(bool shown) : shown_(shown) {}
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    ~ProgressBar() { Clear(); }

    void Show(std::size_t done, std::size_t total, double mhz) const;
    void Clear() const;

private:
    bool shown_;
};

// One point of a sweep as measured: lock, and why it could not be
// programmed or measured ("" when it was).
struct Point {
    double frequency_mhz = 0.0;
    bool locked = false;
    long lock_ms = -1;  // -1: did not lock
    std::string error;
};

Json PointJson(const Point &p);

// The sweep file: created (or emptied) with its header before the first
// point, then one CSV row or JSON line a point, each handed to the system as
// soon as it is measured, so that a sweep that stops early leaves every
// point done. An empty path writes nothing. Throws OutputError.
class PointFile {
public:
    PointFile(std::string path, std::string format);
    ~PointFile();
    PointFile(const PointFile &) = delete;
    PointFile &operator=(const PointFile &) = delete;

    // Empties a regular file that held something else (a previous sweep's
    // points) and starts it with its header; called once the unit is open,
    // so that a sweep that never starts leaves such a file as it was.
    void Begin();
    void Write(const Point &p);
    const std::string &path() const { return path_; }

private:
    void Put(const std::string &text);
    void PutHeader();

    std::string path_;
    std::string format_;  // "csv" or "json" (JSON Lines)
    int fd_ = -1;
    bool begun_ = false;    // emptied and headed
    std::size_t rows_ = 0;  // points written
};

}  // namespace vontrel::tool

#endif
