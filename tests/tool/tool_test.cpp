// SPDX-License-Identifier: MIT
// The vontrel tool as a user runs it: one process per command, against the
// simulated bench that keeps its state in a file between them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "include/vontrel.h"
#include "include/vontrel_limits.h"

extern char **environ;  // NOLINT(readability-redundant-declaration)

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    Json json() const { return Json::parse(out); }
};

std::string Slurp(const fs::path &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string fmt(std::size_t n)
{
    return std::to_string(n);
}

// A sweep file's CSV rows, each split at its first three commas.
std::vector<std::vector<std::string>> Rows(const fs::path &path)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(Slurp(path));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        for (int i = 0; i < 3; ++i) {
            const auto comma = line.find(',');
            fields.push_back(line.substr(0, comma));
            line = comma == std::string::npos ? "" : line.substr(comma + 1);
        }
        fields.push_back(line);
        rows.push_back(fields);
    }
    return rows;
}

// A JSON Lines file's whole lines (one still being written is left out).
std::vector<Json> JsonLines(const fs::path &path)
{
    std::vector<Json> lines;
    const std::string text = Slurp(path);
    std::istringstream in(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(Json::parse(line));
    }
    return lines;
}

// Whether `done` comes true within 20 s, looking every 5 ms.
template <typename Done>
bool Eventually(Done &&done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Bytes shown in a failure message.
std::string Printable(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        out += std::isprint(static_cast<unsigned char>(c)) != 0 ? std::string(1, c) : "?";
    }
    return out;
}

std::string Describe(const std::vector<std::string> &args)
{
    std::string text = "vontrel";
    for (const std::string &a : args) {
        text += " " + a;
    }
    return text;
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vontrel-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        env_["VONTREL_SIM_STATE"] = (dir_ / "state.json").string();
        env_["VONTREL_SIM_TRACE"] = Trace().string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path Trace() const { return dir_ / "trace.txt"; }

    // Frames the simulator saw, written and read.
    int FramesTraced() const
    {
        std::istringstream lines(Slurp(Trace()));
        std::string line;
        int frames = 0;
        while (std::getline(lines, line)) {
            frames += Contains(line, " -> ") || Contains(line, " <- ") ? 1 : 0;
        }
        return frames;
    }

    // A bench of its own for this test.
    void UseBench(const Json &config)
    {
        const fs::path path = dir_ / "bench.json";
        std::ofstream(path) << config.dump();
        env_["VONTREL_SIM_CONFIG"] = path.string();
    }

    pid_t Spawn(const std::string &program, const std::vector<std::string> &args,
                const std::string &tag, const std::string &stdout_path = "") const
    {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("VONTREL_SIM_", 0) != 0 &&
                env_.count(entry.substr(0, entry.find('='))) == 0) {
                env.push_back(entry);
            }
        }
        for (const auto &[name, value] : env_) {
            env.push_back(name + "=" + value);
        }
        std::vector<std::string> argv_text{program};
        // A signal the test runner ignores would otherwise be ignored by the tool too.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char *> argv;
        std::vector<char *> envp;
        for (std::string &a : argv_text) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (std::string &e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out =
            stdout_path.empty() ? (dir_ / (tag + ".out")).string() : stdout_path;
        const std::string err = (dir_ / (tag + ".err")).string();
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = -1;
        const int rc =
            posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        EXPECT_EQ(rc, 0) << program;
        return pid;
    }

    Result Wait(pid_t pid, const std::string &tag) const
    {
        int raw = 0;
        waitpid(pid, &raw, 0);
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        r.out = Slurp(dir_ / (tag + ".out"));
        r.err = Slurp(dir_ / (tag + ".err"));
        return r;
    }

    Result Run(const std::vector<std::string> &args, const std::string &program = VONTREL_TOOL,
               const std::string &stdout_path = "")
    {
        const std::string tag = "run" + std::to_string(runs_++);
        return Wait(Spawn(program, args, tag, stdout_path), tag);
    }

    // Runs the tool with and without --json: the same exit status, and with
    // --json one JSON document holding "error" when it failed.
    Result RunBoth(const std::vector<std::string> &args)
    {
        const Result text = Run(args);
        std::vector<std::string> json_args = args;
        json_args.insert(json_args.begin(), "--json");
        const Result json = Run(json_args);
        EXPECT_EQ(json.status, text.status) << Describe(json_args) << "\n" << json.err;
        if (text.status != 0) {
            try {
                EXPECT_TRUE(json.json().contains("error")) << Describe(json_args) << json.out;
            } catch (const Json::exception &) {
                ADD_FAILURE() << Describe(json_args) << " gave no JSON document:\n" << json.out;
            }
        }
        return text;
    }

    fs::path Write(const std::string &name, const std::string &content) const
    {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path dir_;
    std::map<std::string, std::string> env_;
    int runs_ = 0;
};

// Every subcommand in text and in JSON, on the default bench.
TEST_F(Tool, SubcommandsInTextAndJson)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *text;                         // in the text output
        std::function<void(const Json &)> check;  // on the JSON output
    };
    const std::string u = "--unit=serial:4660";
    const std::vector<Case> cases = {
        {{"list"},
         0,
         "12345",
         [](const Json &j) {
             ASSERT_EQ(j.size(), 2U);
             EXPECT_EQ(j[0]["serial"], 4660);
             EXPECT_EQ(j[1]["index"], 2);
         }},
        {{u, "info"}, 0, "calibration date", [](const Json &j) { EXPECT_EQ(j["serial"], 4660); }},
        {{u, "status"},
         0,
         "1000 MHz",
         [](const Json &j) {
             EXPECT_EQ(j["frequency_mhz"], 1000.0);
             EXPECT_EQ(j["mode"], 3);
             EXPECT_EQ(j["locked"], false);
         }},
        {{u, "lock"}, 1, "not locked", [](const Json &j) { EXPECT_EQ(j["locked"], false); }},
        {{u, "set", "--freq", "2455", "--atten", "10", "--wait-lock"},
         0,
         "locked after",
         [](const Json &j) {
             EXPECT_EQ(j["applied"]["frequency_mhz"], 2455.0);
             EXPECT_EQ(j["applied"]["attenuation"], 10.0);
             EXPECT_EQ(j["applied"]["mode"], 1);
             EXPECT_EQ(j["locked"], true);
         }},
        {{u, "lock", "--wait", "0.5"},
         0,
         "locked",
         [](const Json &j) { EXPECT_TRUE(j["locked"]); }},
        {{u, "save-preset"}, 0, "saved", [](const Json &j) { EXPECT_TRUE(j["saved"]); }},
        {{u, "preset"}, 0, "preset sent", [](const Json &j) { EXPECT_TRUE(j["preset"]); }},
        {{u, "sweep", "--start", "1000", "--stop", "1050", "--step", "25"},
         0,
         "3 of 3 points locked",
         [](const Json &j) {
             ASSERT_EQ(j["points"].size(), 3U);
             EXPECT_EQ(j["points"][2]["frequency_mhz"], 1050.0);
             EXPECT_TRUE(j["points"][2]["locked"]);
         }},
    };
    for (const Case &c : cases) {
        const Result text = Run(c.args);
        EXPECT_EQ(text.status, c.status) << Describe(c.args) << "\n" << text.err;
        EXPECT_TRUE(Contains(text.out, c.text)) << Describe(c.args) << "\n" << text.out;
        std::vector<std::string> json_args = c.args;
        json_args.insert(json_args.begin(), "--json");
        const Result json = Run(json_args);
        EXPECT_EQ(json.status, c.status) << Describe(json_args) << "\n" << json.err;
        ASSERT_NO_THROW(c.check(json.json())) << Describe(json_args) << "\n" << json.out;
    }
}

// The units file gives a unit its level in dBm; one the tool cannot take
// is refused with the place before anything is sent.
TEST_F(Tool, StatusShowsTheLevelInDbmFromTheUnitsFile)
{
    const std::string units =
        Write("units.json", R"({"units": {"4660": {"level_offset_db": -3.25}}})").string();
    const Result json = Run({"--units", units, "--json", "--unit=serial:4660", "status"});
    ASSERT_EQ(json.status, 0) << json.err;
    const Json j = json.json();
    EXPECT_EQ(j["level_dbm"], j["level"].get<double>() - 3.25);
    EXPECT_EQ(j["level_max_dbm"], j["level_max"].get<double>() - 3.25);
    EXPECT_EQ(j["level_offset_db"], -3.25);
    EXPECT_EQ(j["output_off"], "mute");
    const Result text = Run({"--units", units, "--unit=serial:4660", "status"});
    EXPECT_TRUE(Contains(text.out, " dBm  (level ")) << text.out;
    const Result none = Run(
        {"--units", Write("none.json", "{}").string(), "--json", "--unit=serial:4660", "status"});
    EXPECT_TRUE(none.json()["level_dbm"].is_null()) << none.out;

    const int frames = FramesTraced();
    const Result bad = RunBoth(
        {"--units", Write("bad.json", R"({"units": {"4660": {"output_off": "off"}}})").string(),
         "--unit=serial:4660", "status"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(Contains(bad.err, "bad.json: units.4660.output_off: ")) << bad.err;
    const Result missing =
        Run({"--units", (dir_ / "missing.json").string(), "--unit=serial:4660", "status"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.err, "missing.json: cannot be read")) << missing.err;
    EXPECT_EQ(FramesTraced(), frames);
}

TEST_F(Tool, UnitSelection)
{
    // Several units: the tool names the candidates instead of guessing.
    const Result several = Run({"status"});
    EXPECT_EQ(several.status, 1);
    EXPECT_TRUE(Contains(several.err, "--unit serial:4660")) << several.err;
    EXPECT_TRUE(Contains(several.err, "--unit serial:12345")) << several.err;

    const Result by_index = Run({"--json", "--unit", "index:2", "info"});
    EXPECT_EQ(by_index.status, 0);
    EXPECT_EQ(by_index.json()["serial"], 12345);

    const Result missing = Run({"--unit", "serial:999", "info"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.err, "no unit with serial 999")) << missing.err;

    // Two units with one serial number: chosen by index, never by guess.
    UseBench({{"converters", {{{"serial", 5}}, {{"serial", 5}}}}});
    const Result twins = Run({"--unit", "serial:5", "info"});
    EXPECT_EQ(twins.status, 1);
    EXPECT_TRUE(Contains(twins.err, "--unit index:1")) << twins.err;

    // One unit on the bench: no --unit needed.
    UseBench({{"converters",
               {{{"unit", false}, {"description", "USB <-> Serial Cable"}},
                {{"serial", 777}, {"identity", {9, 3, 4, 1, 5, 6, 12, 0, 70, 140}}}}}});
    const Result one = Run({"--json", "info"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.json()["serial"], 777);
    EXPECT_EQ(one.json()["index"], 1);
    EXPECT_EQ(one.json()["firmware"], "1.4");
    EXPECT_EQ(one.json()["if_band"], "70 MHz - -116 MHz");
}

// Command lines a careless or hostile user types: each is refused with its
// exit status and a message (a JSON error with --json), and none of them
// sends a frame or reaches the bench's state.
TEST_F(Tool, HostileCommandLinesAreRefusedBeforeAnythingIsSent)
{
    const std::string sweep_cap = std::to_string(VONTREL_SWEEP_POINTS_MAX);
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::vector<Case> cases = {
        {{"set", "--freq", "6000"}, 2},
        {{"set", "--freq", "299.9"}, 2},
        {{"set", "--freq", "nan"}, 2},
        {{"set", "--freq", "inf"}, 2},
        {{"set", "--freq", "1e400"}, 2},
        {{"set", "--freq", "0x9C4"}, 2},
        {{"set", "--freq", "2455abc"}, 2},
        {{"set", "--freq", " 2455"}, 2},
        {{"set", "--freq", ""}, 2},
        {{"set", "--atten", "10.1"}, 2},
        {{"set", "--atten", "32"}, 2},
        {{"set", "--level", "70"}, 2},
        {{"set", "--level", "5", "--atten", "3"}, 2},
        {{"set", "--level", "5", "--mode", "1"}, 2},
        {{"set", "--mode", "4"}, 2},
        {{"set", "--switch", "1.5"}, 2},
        {{"set", "--flag-a", "maybe"}, 2},
        {{"set", "--trim-a", "256"}, 2},
        {{"set", "--trim-a", "0x10"}, 2},
        {{"set", "--trim-b", "3", "--auto-trim", "on"}, 2},
        {{"set", "--stored-setting", "-1"}, 2},
        {{"set", "--freq", "2455", "--wait-lock", "-1"}, 2},
        {{"set", "--freq", "2455", "--wait-lock", "3601"}, 2},
        {{"set"}, 2},
        {{"set", "--wait-lock"}, 2},
        {{"lock", "--wait", "inf"}, 2},
        {{"lock", "--wait", "nan"}, 2},
        {{"--wait-unit", "-1", "list"}, 2},
        {{"--unit", "4660", "status"}, 2},
        {{"--unit", "serial:x", "status"}, 2},
        {{"--unit", "serial:99999999999", "status"}, 2},
        {{"sweep", "--start", "100", "--stop", "200", "--step", "10"}, 2},
        {{"sweep", "--start", "1000", "--stop", "2000", "--step", "0"}, 2},
        {{"sweep", "--start", "300", "--stop", "5000", "--step", "0.01"}, 2},
        {{"sweep", "--start", "1000", "--stop", "2000"}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--dwell-ms", "-1"}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--dwell-ms", "1e10"}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--dwell", "5"}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--lock-timeout", "nan"}, 2},
        {{"sweep", "--list", "/nonexistent/points.txt"}, 2},
        {{"sweep", "--list", dir_.string()}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--format", "xml"}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--freq", "2000"}, 2},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "-o", ""}, 2},
        {{"sweep", "--list", ""}, 2},
        {{"frobnicate"}, 2},
        {{}, 2},
        // Bytes that are not UTF-8 come back in the message, and in the JSON
        // error too.
        {{"--unit", "serial:\xff", "list"}, 2},
        {{"set", "--flag-a", "\xff"}, 2},
        {{"sweep", "--list", "/nonexistent/\xff"}, 2},
        // An output that cannot be written is found before the unit is opened.
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "-o", "/nonexistent/x.csv"},
         1},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "-o", dir_.string()}, 1},
        {{"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "-o", "/dev/full"}, 1},
    };
    for (const Case &c : cases) {
        const Result r = RunBoth(c.args);
        EXPECT_EQ(r.status, c.status) << Describe(c.args) << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << Describe(c.args);
        EXPECT_EQ(FramesTraced(), 0) << Describe(c.args) << " sent a frame";
        EXPECT_FALSE(fs::exists(dir_ / "state.json")) << Describe(c.args) << " reached the bench";
    }
    const Result range = Run({"set", "--freq", "6000"});
    EXPECT_TRUE(Contains(range.err, "300 to 5000 MHz")) << range.err;
    // Nothing that failed is called success: standard output that cannot
    // be written fails the run.
    const Result full = Run({"--unit", "index:0", "status"}, VONTREL_TOOL, "/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_TRUE(Contains(full.err, "standard output")) << full.err;
    EXPECT_EQ(Run({"path"}, VONTREL_SIM_TOOL, "/dev/full").status, 1);
}

// Bench descriptions and simulator settings that cannot be used: named, with
// the file and the place, exit 2, nothing sent.
TEST_F(Tool, HostileBenchDescriptionsAreRefusedWithThePlace)
{
    std::string many = "{\"converters\": [";
    for (int i = 0; i < 2 * VONTREL_MAX_CONVERTERS + 1; ++i) {
        many += std::string(i == 0 ? "" : ",") + "{\"unit\": false}";
    }
    many += "]}";
    struct Case {
        const char *variable;
        std::string value;  // the description's text, for VONTREL_SIM_CONFIG
        const char *message;
    };
    const std::vector<Case> cases = {
        {"VONTREL_SIM_CONFIG", "not json", "not JSON: parse error at line 1"},
        {"VONTREL_SIM_CONFIG", "", "not JSON"},
        {"VONTREL_SIM_CONFIG", std::string("\0\xff", 2), "not JSON"},
        {"VONTREL_SIM_CONFIG", "[]", "top level: expected {\"converters\""},
        {"VONTREL_SIM_CONFIG", R"({"converters": [], "units": []})", "unknown key \"units\""},
        {"VONTREL_SIM_CONFIG", R"({"converters": {}})", "converters: expected an array"},
        {"VONTREL_SIM_CONFIG", many, "at most 2048 converters"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [7]})", "converters[0]: expected an object"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"serial": "x"}]})",
         "converters[0].serial: expected a whole number from 0 to 65535"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"serial": 70000}]})", "converters[0].serial"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"unit": "yes"}]})",
         "converters[0].unit: expected true or false"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"unit": false, "serial": 5}]})",
         "(not a unit): unknown key \"serial\""},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"colour": "red"}]})", "unknown key \"colour\""},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"memory": {"zz": 1}}]})",
         "converters[0].memory.zz: \"zz\" is not a memory address"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"memory": {"0x2d": 1}}]})", "memory.0x2d"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"memory": {"4096": 1}}]})", "memory.4096"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"memory": {"45": 7.5}}]})",
         "memory.45: expected a whole number from 0 to 255, not 7.5"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"identity": [1, 2, 3]}]})",
         "identity: expected an array of 10"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"tables": {"E": 1}}]})", "unknown key \"E\""},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"tables": {"C": [1, 2]}}]})",
         "tables.C: expected an array of 189"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"registers": [1, 2, 3, 4, 5, 6, 7, -8]}]})",
         "registers[7]: expected a whole number from 0 to 4294967295"},
        {"VONTREL_SIM_CONFIG", R"({"converters": [{"description": 5}]})", "description"},
        {"VONTREL_SIM_LATENCY_MS", "99999", "VONTREL_SIM_LATENCY_MS is '99999'"},
        {"VONTREL_SIM_LATENCY_MS", "1e3", "VONTREL_SIM_LATENCY_MS"},
        {"VONTREL_SIM_TIMING", "maybe", "VONTREL_SIM_TIMING is 'maybe'"},
        {"VONTREL_SIM_FAIL", "FT_Raed:1:4", "'FT_Raed' is not a D2XX call"},
        {"VONTREL_SIM_FAIL", "FT_Read:0:4", "NTH must be"},
        {"VONTREL_SIM_FAIL", "FT_Read:x:4", "NTH must be"},
        {"VONTREL_SIM_FAIL", "FT_Read:1:FT_NOPE", "STATUS must be"},
        {"VONTREL_SIM_FAIL", "FT_Read:1", "expected three fields"},
        {"VONTREL_SIM_TRACE", dir_.string(), "cannot write the trace"},
    };
    for (const Case &c : cases) {
        std::map<std::string, std::string> saved = env_;
        const std::string value = std::string(c.variable) == "VONTREL_SIM_CONFIG"
                                      ? Write("bench.json", c.value).string()
                                      : c.value;
        env_[c.variable] = value;
        const std::vector<std::string> args{"list"};
        const Result r = RunBoth(args);
        EXPECT_EQ(r.status, 2) << c.variable << "=" << c.value << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << c.variable << "=" << c.value << "\n" << r.err;
        if (std::string(c.variable) == "VONTREL_SIM_CONFIG") {
            EXPECT_TRUE(Contains(r.err, value)) << "the file is not named: " << r.err;
        }
        EXPECT_EQ(FramesTraced(), 0) << c.value;
        env_ = saved;
    }
    // A device is refused without being read (it would never end).
    env_["VONTREL_SIM_CONFIG"] = "/dev/zero";
    const Result device = Run({"list"});
    EXPECT_EQ(device.status, 2);
    EXPECT_TRUE(Contains(device.err, "/dev/zero: not a regular file")) << device.err;
    // vontrel-sim serve --pty refuses it too, rather than serving nothing
    // until it is stopped.
    const pid_t pty = Spawn(VONTREL_SIM_TOOL, {"serve", "--pty"}, "pty");
    int raw = 0;
    const bool ended = Eventually([&] { return waitpid(pty, &raw, WNOHANG) == pty; });
    if (!ended) {
        kill(pty, SIGKILL);
        waitpid(pty, &raw, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(raw) && WEXITSTATUS(raw) == 2);
    EXPECT_TRUE(Contains(Slurp(dir_ / "pty.err"), "/dev/zero: not a regular file"));

    // Addresses are decimal: "045" is address 45, the stored setting.
    UseBench({{"converters", {{{"serial", 1}, {"memory", {{"045", 9}}}}}}});
    EXPECT_EQ(Run({"--json", "status"}).json()["stored_setting"], 9);
}

// Point lists: one decimal number a line, anything else refused with its
// line number; a byte-order mark, CR LF, blanks and comments are taken.
TEST_F(Tool, HostilePointLists)
{
    std::string too_many;
    for (int i = 0; i <= VONTREL_SWEEP_POINTS_MAX; ++i) {
        too_many += "1000\n";
    }
    struct Case {
        std::string content;
        const char *refused;  // in the message, or nullptr when taken
    };
    const std::vector<Case> cases = {
        {"\xEF\xBB\xBF"
         "1000\r\n# comment\r\n\r\n  1025.5\t\r\n",
         nullptr},
        {"1000\n+1050\n1.1e3", nullptr},
        {"frequency_mhz\n1000\n", ":1: 'frequency_mhz' is not a frequency"},
        {"\xEF\xBB\xBF"
         "freq\n1000\n",
         ":1: 'freq'"},
        {"1000\n5000, upper\n", ":2: '5000, upper'"},
        {"1000\n2455 MHz\n", ":2:"},
        {"0x9C4\n", ":1:"},
        {"nan\n", ":1:"},
        {"1000\n1e400\n", ":2:"},
        {"1000\n299\n", ":2: frequency 299 MHz is outside"},
        {std::string("1000\n\0\x01\x02\n", 9), ":2: '\\x00\\x01\\x02'"},
        {"1000\n" + std::string(300, '1') + "\n", ":2: the line is longer than 256"},
        {"", "holds no frequency"},
        {"# nothing\n\n", "holds no frequency"},
        {too_many, "more than 100000 points"},
        {std::string(5 << 20, '#'), "larger than 4 MiB"},
    };
    const fs::path csv = dir_ / "points.csv";
    for (const Case &c : cases) {
        const fs::path list = Write("points.txt", c.content);
        const int frames = FramesTraced();
        const Result r =
            Run({"--unit", "index:0", "sweep", "--list", list.string(), "-o", csv.string()});
        const std::string shown = Printable(c.content.substr(0, 40));
        if (c.refused == nullptr) {
            EXPECT_EQ(r.status, 0) << shown << "\n" << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, c.refused)) << shown << "\n" << r.err;
        EXPECT_EQ(FramesTraced(), frames) << shown;
    }
}

TEST_F(Tool, InjectedFailureIsNamedWithAHint)
{
    // Reads 1 and 2 fetch the serial at open; read 3 is lock detect's.
    UseBench({{"converters", {{{"serial", 4660}}}}});
    env_["VONTREL_SIM_FAIL"] = "FT_Read:3:FT_IO_ERROR";
    const Result text = Run({"lock"});
    EXPECT_EQ(text.status, 1);
    EXPECT_TRUE(Contains(text.err, "FT_IO_ERROR (4)")) << text.err;
    EXPECT_TRUE(Contains(text.err, "try:")) << text.err;

    // Read 3 is the first of status's thirteen, read 15 its last: a failure
    // at either end is reported.
    EXPECT_EQ(Run({"--json", "status"}).status, 1);
    env_["VONTREL_SIM_FAIL"] = "FT_Read:15:4";
    const Result failed = Run({"--json", "status"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.json()["status"], 4);
    EXPECT_EQ(failed.json()["status_name"], "FT_IO_ERROR");
}

// A unit that stops answering in the middle of set's read-back: nothing is
// written from what was read, and the failing call is named.
TEST_F(Tool, AStalledReadBackWritesNothing)
{
    UseBench({{"converters", {{{"serial", 4660}}}}});
    const Json before = Run({"--json", "status"}).json();
    // Replies 1 and 2 are the serial number's, 3 to 15 the read-back's.
    env_["VONTREL_SIM_FAIL"] = "late:7:3000";
    const Result r = Run({"set", "--atten", "7", "--stored-setting", "99"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "Vontrel_ReadStatus failed: FT_IO_ERROR")) << r.err;
    env_.erase("VONTREL_SIM_FAIL");
    const Json after = Run({"--json", "status"}).json();
    for (const char *field : {"frequency_mhz", "attenuation", "stored_setting", "trim_a", "trim_b",
                              "mode", "level_min"}) {
        EXPECT_EQ(after[field], before[field]) << field;
    }
}

TEST_F(Tool, StateLastsBetweenProcessesUntilReset)
{
    ASSERT_EQ(
        Run({"--unit", "serial:12345", "set", "--freq", "2455", "--stored-setting", "9"}).status,
        0);
    const Json after = Run({"--json", "--unit", "serial:12345", "status"}).json();
    EXPECT_EQ(after["frequency_mhz"], 2455.0);
    EXPECT_EQ(after["stored_setting"], 9);
    EXPECT_EQ(after["locked"], true);
    // The other unit kept its own state.
    EXPECT_EQ(Run({"--json", "--unit", "serial:4660", "status"}).json()["frequency_mhz"], 1000.0);

    ASSERT_EQ(Run({"reset"}, VONTREL_SIM_TOOL).status, 0);
    EXPECT_EQ(Run({"--json", "--unit", "serial:12345", "status"}).json()["frequency_mhz"], 1000.0);

    // vontrel-sim show: the units with their state, the converter between
    // them as what it is.
    const Result show = Run({"show"}, VONTREL_SIM_TOOL);
    ASSERT_EQ(show.status, 0);
    EXPECT_TRUE(Contains(show.out, "converter 0: \"Vontrel Synthesizer\", serial 4660, register 0"))
        << show.out;
    EXPECT_TRUE(Contains(show.out, "converter 1: \"USB <-> Serial Cable\", not a unit\n"))
        << show.out;
    EXPECT_TRUE(Contains(show.out, "converter 2: \"Vontrel Synthesizer\", serial 12345"))
        << show.out;
}

// Two processes programming different units at once: with the state file
// locked, neither overwrites the other's unit.
TEST_F(Tool, ConcurrentProcessesDoNotLoseUpdates)
{
    for (int round = 0; round < 3; ++round) {
        const std::string fa = std::to_string(2000 + round * 100);
        const std::string fb = std::to_string(3000 + round * 100);
        const pid_t a = Spawn(VONTREL_TOOL, {"--unit", "serial:4660", "set", "--freq", fa}, "a");
        const pid_t b = Spawn(VONTREL_TOOL, {"--unit", "serial:12345", "set", "--freq", fb}, "b");
        const Result ra = Wait(a, "a");
        ASSERT_EQ(ra.status, 0) << ra.out << ra.err;
        const Result rb = Wait(b, "b");
        ASSERT_EQ(rb.status, 0) << rb.out << rb.err;
        EXPECT_EQ(Run({"--json", "--unit", "serial:4660", "status"}).json()["frequency_mhz"],
                  std::stod(fa));
        EXPECT_EQ(Run({"--json", "--unit", "serial:12345", "status"}).json()["frequency_mhz"],
                  std::stod(fb));
    }
}

TEST_F(Tool, SweepWritesCsvAndJsonFiles)
{
    const fs::path list = Write("points.txt", "# band edges\n300\n\n5000\n2455.5\n");
    const fs::path csv = dir_ / "points.csv";
    const Result r = Run({"--unit", "index:0", "sweep", "--list", list.string(), "--atten", "5",
                          "-o", csv.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (const auto &row : Rows(csv)) {
        lines.push_back(row[0] + "," + row[1] + "," + row[3]);  // lock_ms depends on timing
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"frequency_mhz,locked,error", "300,1,", "5000,1,",
                                               "2455.5,1,"}));
    EXPECT_FALSE(Contains(r.err, "\r")) << "progress bar on a pipe";

    const fs::path json = dir_ / "points.json";
    ASSERT_EQ(Run({"--unit", "index:0", "sweep", "--start", "5000", "--stop", "4999.8", "--step",
                   "0.1", "-o", json.string()})
                  .status,
              0);
    const std::vector<Json> points = JsonLines(json);
    ASSERT_EQ(points.size(), 3U);
    EXPECT_EQ(points[1]["frequency_mhz"], 4999.9);
    EXPECT_EQ(points[2]["frequency_mhz"], 4999.8);
    EXPECT_EQ(points[2]["error"], nullptr);
    // The unit stays at the last point, to the synthesizer's resolution.
    EXPECT_NEAR(
        Run({"--json", "--unit", "index:0", "status"}).json()["frequency_mhz"].get<double>(),
        4999.8, 1e-6);
}

// A point that cannot be programmed is recorded and the sweep goes on; a
// sweep interrupted midway leaves every point it did in the file.
TEST_F(Tool, SweepKeepsEveryPointItDid)
{
    // Table C falls steeply at 1100 to 1150 MHz: level 20 is out of reach there.
    UseBench({{"converters",
               {{{"serial", 4660}, {"memory", {{"495", 60}, {"496", 60}, {"497", 60}}}}}}});
    env_["VONTREL_SIM_FAIL"] = "FT_Write:180:FT_IO_ERROR";
    const fs::path csv = dir_ / "failed.csv";
    const Result failed = Run({"sweep", "--start", "1000", "--stop", "1200", "--step", "25",
                               "--level", "20", "-o", csv.string()});
    EXPECT_EQ(failed.status, 1) << failed.err;
    const auto rows = Rows(csv);
    ASSERT_EQ(rows.size(), 10U) << Slurp(csv);
    int out_of_reach = 0;
    int link = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(std::stod(rows[i][0]), 1000.0 + 25.0 * static_cast<double>(i - 1));
        out_of_reach += Contains(rows[i][3], "outside the unit's calibrated range") ? 1 : 0;
        link += Contains(rows[i][3], "FT_IO_ERROR") ? 1 : 0;
        EXPECT_EQ(rows[i][1] == "1", rows[i][3].empty()) << Slurp(csv);
    }
    EXPECT_GE(out_of_reach, 2) << Slurp(csv);
    EXPECT_EQ(link, 1) << Slurp(csv);
    env_.erase("VONTREL_SIM_FAIL");

    // Interrupted: each point takes the link's time, so SIGINT lands midway.
    env_["VONTREL_SIM_TIMING"] = "1";
    env_["VONTREL_SIM_LATENCY_MS"] = "1";
    const fs::path jsonl = dir_ / "interrupted.jsonl";
    const pid_t sweep = Spawn(VONTREL_TOOL,
                              {"sweep", "--start", "1000", "--stop", "2000", "--step", "25",
                               "--atten", "5", "-o", jsonl.string()},
                              "sweep");
    ASSERT_TRUE(Eventually([&] { return JsonLines(jsonl).size() >= 2; }));
    kill(sweep, SIGINT);
    const Result interrupted = Wait(sweep, "sweep");
    EXPECT_EQ(interrupted.status, 1) << interrupted.err;
    EXPECT_TRUE(Contains(interrupted.err, "interrupted")) << interrupted.err;
    const std::vector<Json> points = JsonLines(jsonl);
    EXPECT_GE(points.size(), 2U);
    EXPECT_LT(points.size(), 41U);
    EXPECT_TRUE(Contains(interrupted.out,
                         fmt(points.size()) + " of " + fmt(points.size()) + " points locked"))
        << interrupted.out;

    // Interrupted while waiting for a lock that never comes: the sweep ends
    // at once, not after the lock time-out, and the point says why.
    UseBench({{"converters", {{{"serial", 4660}, {"locks", false}}}}});
    env_.erase("VONTREL_SIM_TIMING");
    const fs::path waiting = dir_ / "waiting.csv";
    const int traced = FramesTraced();
    const pid_t unlocked = Spawn(VONTREL_TOOL,
                                 {"sweep", "--start", "1000", "--stop", "1100", "--step", "50",
                                  "--lock-timeout", "3600", "-o", waiting.string()},
                                 "unlocked");
    ASSERT_TRUE(Eventually([&] { return FramesTraced() > traced + 60; }));  // polling lock detect
    const auto asked = std::chrono::steady_clock::now();
    kill(unlocked, SIGINT);
    EXPECT_EQ(Wait(unlocked, "unlocked").status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
    EXPECT_TRUE(Contains(Slurp(waiting), "1000,0,,interrupted while waiting for lock"))
        << Slurp(waiting);
    env_["VONTREL_SIM_TIMING"] = "1";

    // A sweep that never starts (no such unit) leaves the file of the last
    // one as it was.
    const std::string kept = Slurp(jsonl);
    const Result wrong_unit = Run({"--unit", "serial:999", "sweep", "--start", "1000", "--stop",
                                   "2000", "--step", "25", "-o", jsonl.string()});
    EXPECT_EQ(wrong_unit.status, 1) << wrong_unit.err;
    EXPECT_EQ(Slurp(jsonl), kept);
}

// The state file is a regular file of bounded size; one that is not, or is
// damaged, is refused with a message saying what to do, and kept.
TEST_F(Tool, StateFilesThatCannotBeUsedAreRefused)
{
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path damaged = Write("damaged.json", "{\"config\": \"default\", \"units\": [");
    const fs::path huge = Write("huge.json", std::string((16 << 20) + 1, ' '));
    struct Case {
        std::string path;
        const char *message;
    };
    const std::vector<Case> cases = {
        {dir_.string(), "not a regular file"},
        {fifo.string(), "not a regular file"},
        {huge.string(), "larger than 16 MiB"},
        {damaged.string(), "is damaged"},
        {(dir_ / "missing" / "state.json").string(), "cannot open the lock file"},
    };
    for (const Case &c : cases) {
        env_["VONTREL_SIM_STATE"] = c.path;
        const Result r = RunBoth({"--unit", "index:0", "status"});
        EXPECT_EQ(r.status, 1) << c.path << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << c.path << "\n" << r.err;
    }
    // A lock file is never opened through a symbolic link: one planted at
    // the state lock's or a converter lock's name is refused, and what it
    // points at is neither created nor touched.
    const fs::path elsewhere = dir_ / "elsewhere";
    for (const char *lock : {"linked.json.lock", "linked.json.conv0.lock"}) {
        env_["VONTREL_SIM_STATE"] = (dir_ / "linked.json").string();
        fs::create_symlink(elsewhere, dir_ / lock);
        const Result r = RunBoth({"--unit", "index:0", "status"});
        EXPECT_EQ(r.status, 1) << lock << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, "symbolic link")) << lock << "\n" << r.err;
        EXPECT_FALSE(fs::exists(elsewhere)) << lock;
        fs::remove(dir_ / lock);
    }
    // A reset deletes a state file, never a folder named by mistake.
    env_["VONTREL_SIM_STATE"] = (dir_ / "folder").string();
    fs::create_directory(dir_ / "folder");
    const Result folder = Run({"reset"}, VONTREL_SIM_TOOL);
    EXPECT_EQ(folder.status, 1);
    EXPECT_TRUE(Contains(folder.err, "not a regular file")) << folder.err;
    EXPECT_TRUE(fs::is_directory(dir_ / "folder"));

    env_["VONTREL_SIM_STATE"] = damaged.string();
    EXPECT_TRUE(Contains(Run({"list"}).err, "vontrel-sim reset"));
    EXPECT_EQ(Slurp(damaged), "{\"config\": \"default\", \"units\": [");
    ASSERT_EQ(Run({"reset"}, VONTREL_SIM_TOOL).status, 0);
    EXPECT_EQ(Run({"--unit", "index:0", "status"}).status, 0);
}

// A converter is open in one process at a time: processes on one unit take
// turns (the trace shows each one's exchanges whole, between its open and
// close), and the state left is one that a process wrote. A unit held by
// another process is reported as in use; one whose holder died is free.
TEST_F(Tool, ProcessesOnOneUnitTakeTurns)
{
    const std::vector<std::string> frequencies = {"1500", "2500", "3500", "4500"};
    std::vector<std::pair<pid_t, std::string>> runs;
    for (const std::string &f : frequencies) {
        const std::string tag = "set" + f;
        runs.emplace_back(
            Spawn(VONTREL_TOOL, {"--unit", "serial:4660", "--wait-unit", "60", "set", "--freq", f},
                  tag),
            tag);
        runs.emplace_back(
            Spawn(VONTREL_TOOL, {"--json", "--unit", "serial:4660", "--wait-unit", "60", "status"},
                  "status" + f),
            "status" + f);
    }
    std::set<double> written = {1000.0};
    for (const std::string &f : frequencies) {
        written.insert(std::stod(f));
    }
    for (const auto &[pid, tag] : runs) {
        const Result r = Wait(pid, tag);
        ASSERT_EQ(r.status, 0) << tag << "\n" << r.err;
        if (tag.rfind("status", 0) == 0) {
            EXPECT_TRUE(written.count(r.json()["frequency_mhz"].get<double>()) == 1) << r.out;
        }
    }
    const double last =
        Run({"--json", "--unit", "serial:4660", "status"}).json()["frequency_mhz"].get<double>();
    EXPECT_TRUE(written.count(last) == 1 && last != 1000.0) << last;

    std::istringstream lines(Slurp(Trace()));
    std::string owner;  // the pid that has converter 0 open
    int frames = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string stamp, pid_word, pid, conv_word, conv, what;
        words >> stamp >> pid_word >> pid >> conv_word >> conv >> what;
        if (conv != "0") {
            continue;
        }
        if (what == "open" && line.find("FT_") == std::string::npos) {
            EXPECT_TRUE(owner.empty()) << "opened twice: " << line;
            owner = pid;
        } else if (what == "close") {
            EXPECT_EQ(pid, owner) << line;
            owner.clear();
        } else if (what == "->" || what == "<-") {
            EXPECT_EQ(pid, owner) << "an exchange of another process: " << line;
            ++frames;
        }
    }
    EXPECT_GT(frames, 0);

    // Held by a sweep that takes its time: in use; once it is killed, free.
    env_["VONTREL_SIM_TIMING"] = "1";
    env_["VONTREL_SIM_LATENCY_MS"] = "1";
    const fs::path csv = dir_ / "held.csv";
    const pid_t holder = Spawn(VONTREL_TOOL,
                               {"--unit", "serial:4660", "sweep", "--start", "1000", "--stop",
                                "2000", "--step", "25", "--atten", "5", "-o", csv.string()},
                               "holder");
    ASSERT_TRUE(Eventually([&] { return Rows(csv).size() >= 2; }));
    for (const std::vector<std::string> &command :
         {std::vector<std::string>{"status"}, std::vector<std::string>{"serve", "--port", "0"}}) {
        std::vector<std::string> args = {"--unit", "serial:4660", "--wait-unit", "0"};
        args.insert(args.end(), command.begin(), command.end());
        const Result busy = RunBoth(args);
        EXPECT_EQ(busy.status, 1) << Describe(args);
        EXPECT_TRUE(Contains(busy.err, "in use by another program")) << busy.err;
        EXPECT_TRUE(Contains(busy.err, "--wait-unit")) << busy.err;
    }
    kill(holder, SIGKILL);
    Wait(holder, "holder");
    EXPECT_EQ(Run({"--unit", "serial:4660", "--wait-unit", "0", "status"}).status, 0);
}

TEST_F(Tool, LevelOutsideTheCalibratedRangeIsRefused)
{
    const Json before = Run({"--json", "--unit", "index:0", "status"}).json();
    const double too_high = before["level_max"].get<double>() + 1.0;
    // At the current frequency the range is known: refused before any write.
    const Result here = Run({"--unit", "index:0", "set", "--level", std::to_string(too_high)});
    EXPECT_EQ(here.status, 2) << here.err;
    EXPECT_TRUE(Contains(here.err, "calibrated range")) << here.err;
    // At a new frequency it is checked once programmed, and undone.
    const Result there = Run({"--unit", "index:0", "set", "--freq", "4000", "--level", "60"});
    EXPECT_EQ(there.status, 1) << there.err;
    EXPECT_TRUE(Contains(there.err, "restored")) << there.err;
    EXPECT_EQ(Run({"--json", "--unit", "index:0", "status"}).json()["frequency_mhz"],
              before["frequency_mhz"]);
}

// A unit whose registers read back as no frequency at all: set does not
// write that back, says to give --freq, and exits 1: the unit's fault, not
// the command line's.
TEST_F(Tool, AFrequencyReadBackOutsideTheRangeIsNotWrittenBack)
{
    UseBench({{"converters", {{{"serial", 1}, {"registers", {0, 0, 0, 0, 0, 0, 0, 0}}}}}});
    const int frames = FramesTraced();
    const Result refused = RunBoth({"set", "--atten", "5"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "give --freq")) << refused.err;
    EXPECT_EQ(FramesTraced() - frames, 2 * (2 + 13) * 2) << "more than opening and reading";
    EXPECT_EQ(Run({"set", "--atten", "5", "--freq", "1000"}).status, 0);
}

TEST_F(Tool, LinkTimingApplies)
{
    UseBench({{"converters", {{{"serial", 4660}}}}});
    env_["VONTREL_SIM_TIMING"] = "1";
    // Three exchanges (two serial bytes, one lock detect), each 8.32 ms on the
    // wire, handed over at the next 16 ms tick of the latency timer.
    const auto start = std::chrono::steady_clock::now();
    const Result r = Run({"lock"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(FramesTraced(), 6);
    EXPECT_GE(elapsed, std::chrono::milliseconds(3 * 16));
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

// What an operation cost: status names its calls with their exchanges and
// times, a sweep its pace. With link timing at 1 ms, an exchange takes 9 ms.
TEST_F(Tool, TimingIsShown)
{
    UseBench({{"converters", {{{"serial", 4660}}}}});
    env_["VONTREL_SIM_TIMING"] = "1";
    env_["VONTREL_SIM_LATENCY_MS"] = "1";
    const auto timing = Run({"--json", "status", "--timing"}).json()["timing"];
    ASSERT_EQ(timing.size(), 3U);
    EXPECT_EQ(timing[1]["call"], "Vontrel_ReadStatus");
    EXPECT_EQ(timing[1]["exchanges"], 13);
    EXPECT_GE(timing[1]["ms"].get<double>(), 13 * 9.0);
    EXPECT_EQ(timing[2]["exchanges"], 1);
    const auto sweep =
        Run({"--json", "sweep", "--start", "1000", "--stop", "1010", "--step", "10"});
    EXPECT_GT(sweep.json()["points_per_second"].get<double>(), 0.0);
    EXPECT_GE(sweep.json()["seconds"].get<double>(), 2 * 13 * 9.0 / 1000);
}

TEST_F(Tool, HelpAndVersion)
{
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "Exit status")) << help.out;
    const Result set_help = Run({"set", "--help"});
    EXPECT_EQ(set_help.status, 0);
    EXPECT_TRUE(Contains(set_help.out, "--wait-lock")) << set_help.out;
    EXPECT_EQ(FramesTraced(), 0);
}

// --version names the version the tool was built with, and the library it
// loaded by its file, SONAME and the version its file name carries.
TEST_F(Tool, VersionNamesTheLoadedLibrary)
{
    const std::string soname = "libvontrel.so." + std::to_string(VONTREL_VERSION_MAJOR);
    const Result built = Run({"--version"});
    ASSERT_EQ(built.status, 0);
    EXPECT_TRUE(Contains(built.out,
                         "vontrel " VONTREL_VERSION_STRING
                         " (built with the libvontrel " VONTREL_VERSION_STRING " headers)\n"))
        << built.out;
    EXPECT_TRUE(Contains(built.out,
                         "libvontrel loaded: " + fs::canonical(VONTREL_LIBRARY_FILE).string() +
                             " (SONAME " + soname + ", file version " VONTREL_VERSION_STRING ")\n"))
        << built.out;

    // Another copy of the library, found first: that one is named.
    fs::copy_file(fs::canonical(VONTREL_LIBRARY_FILE), dir_ / "libvontrel.so.0.99.7");
    fs::create_symlink("libvontrel.so.0.99.7", dir_ / soname);
    const char *path = std::getenv("LD_LIBRARY_PATH");
    env_["LD_LIBRARY_PATH"] = dir_.string() + (path != nullptr ? std::string(":") + path : "");
    const Result other = Run({"--version"});
    ASSERT_EQ(other.status, 0);
    EXPECT_TRUE(
        Contains(other.out, "libvontrel loaded: " + (dir_ / "libvontrel.so.0.99.7").string() +
                                " (SONAME " + soname + ", file version 0.99.7)\n"))
        << other.out;
}

// The mains switch from the shell: the outlet that powers 4660, named by
// the unit, cycled while the unit is seen to stop answering; it comes back
// at its power-up settings. Units fall silent without power, as on the
// default bench.
TEST_F(Tool, MainsCycleMakesAUnitStopAnsweringAndComeBackAtPowerUp)
{
    UseBench(Json{{"converters",
                   {{{"serial", 4660}},
                    {{"mains",
                      {{"serial", "MS0001"},
                       {"outlets", {{"1", {4660}}}},
                       {"boot_ms", 300},
                       {"unpowered", "silent"}}}}}}});
    const fs::path units = dir_ / "units.json";
    std::ofstream(units) << R"({"units": {"4660": {"power": {"outlet": 1, "boot_s": 20}}}})";
    const std::string u = "--units=" + units.string();
    ASSERT_EQ(Run({"--unit", "serial:4660", "set", "--freq", "2455"}).status, 0);

    const Result status = Run({u, "--json", "mains", "status"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.json()["switch"], "MS0001");
    EXPECT_EQ(status.json()["outlets"][0], (Json{{"outlet", 1}, {"on", true}, {"units", {4660}}}));

    const pid_t cycle =
        Spawn(VONTREL_TOOL,
              {u, "--json", "--unit", "serial:4660", "mains", "cycle", "--off-time", "8"}, "cycle");
    ASSERT_TRUE(Eventually([&] {
        return Contains(Run({"show"}, VONTREL_SIM_TOOL).out, "switched off at its outlet");
    }));
    const Result gone = Run({"--unit", "serial:4660", "--wait-unit", "0", "status"});
    EXPECT_EQ(gone.status, 1) << "a unit without power answered:\n" << gone.out;
    const Result cycled = Wait(cycle, "cycle");
    ASSERT_EQ(cycled.status, 0) << cycled.err;
    EXPECT_EQ(cycled.json()["units"][0]["serial"], 4660);
    EXPECT_GT(cycled.json()["units"][0]["answered_after_s"].get<double>(), 0.2);

    const Result back = Run({"--json", "--unit", "serial:4660", "status"});
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.json()["frequency_mhz"], 1000.0) << "it kept its settings through the cycle";

    // What the command line gets wrong is refused before anything is sent.
    for (const std::vector<std::string> &bad : {std::vector<std::string>{"mains", "on", "9"},
                                                {"mains", "off"},
                                                {u, "--unit", "serial:12345", "mains", "off"},
                                                {"--unit", "index:0", "mains", "off"},
                                                {u, "--unit", "serial:4660", "mains", "off", "1"},
                                                {"mains", "status", "1"}}) {
        const Result r = RunBoth(bad);
        EXPECT_EQ(r.status, 2) << Describe(bad) << "\n" << r.err;
    }
    EXPECT_EQ(Run({"mains", "--switch", "MS0009", "on", "1"}).status, 1);
}

// A switch another program holds is in use, and named so.
TEST_F(Tool, MainsSwitchInUseByTheServer)
{
    const pid_t serve =
        Spawn(VONTREL_TOOL, {"serve", "--port", "0", "--vxi11", "off", "--mdns", "off"}, "serve");
    ASSERT_TRUE(Eventually([&] { return Contains(Slurp(dir_ / "serve.err"), "MS0001: open"); }))
        << Slurp(dir_ / "serve.err");
    const Result held = Run({"--wait-unit", "0", "mains", "off", "3"});
    EXPECT_EQ(held.status, 1);
    EXPECT_TRUE(Contains(held.err, "in use by another program")) << held.err;
    kill(serve, SIGTERM);
    EXPECT_EQ(Wait(serve, "serve").status, 0);
    EXPECT_EQ(Run({"mains", "off", "3"}).status, 0);
    const Result list = Run({"--json", "mains", "list"});
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(list.json(),
              (Json{{{"index", 3}, {"serial", "MS0001"}, {"description", "Mains Switch"}}}));
}

// vontrel-sim run puts the simulator's folder first on the loader's path of
// the program it runs, and nothing else changes.
TEST_F(Tool, TheSimulatorRunsAProgramOnItsBench)
{
    const Result version = Run({"--version"}, VONTREL_SIM_TOOL);
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(Contains(version.out, "vontrel-sim ")) << version.out;

    const std::string folder = fs::canonical(fs::path(VONTREL_SIM_TOOL).parent_path()).string();
    const char *before = std::getenv("LD_LIBRARY_PATH");
    const Result path =
        Run({"run", "--", "/bin/sh", "-c", "echo \"$LD_LIBRARY_PATH\""}, VONTREL_SIM_TOOL);
    EXPECT_EQ(path.status, 0) << path.err;
    EXPECT_EQ(path.out, folder +
                            (before != nullptr && *before != '\0' ? ":" + std::string(before)
                                                                  : std::string()) +
                            "\n");

    const Result list = Run({"run", VONTREL_TOOL, "list"}, VONTREL_SIM_TOOL);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(Contains(list.out, "4660") && Contains(list.out, "12345")) << list.out;
    EXPECT_EQ(Run({"run", "--", "no-such-program-anywhere"}, VONTREL_SIM_TOOL).status, 127);
    EXPECT_EQ(Run({"run"}, VONTREL_SIM_TOOL).status, 2);
}

}  // namespace
