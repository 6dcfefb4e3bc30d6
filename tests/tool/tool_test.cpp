// The vontrel tool as a user runs it: one process per command, against the
// simulated bench that keeps its state in a file between them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

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
                const std::string &tag) const
    {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("VONTREL_SIM_", 0) != 0) {
                env.emplace_back(*e);
            }
        }
        for (const auto &[name, value] : env_) {
            env.push_back(name + "=" + value);
        }
        std::vector<std::string> argv_text{program};
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
        const std::string out = (dir_ / (tag + ".out")).string();
        const std::string err = (dir_ / (tag + ".err")).string();
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = -1;
        const int rc =
            posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
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

    Result Run(const std::vector<std::string> &args, const std::string &program = VONTREL_TOOL)
    {
        const std::string tag = "run" + std::to_string(runs_++);
        return Wait(Spawn(program, args, tag), tag);
    }

    fs::path dir_;
    std::map<std::string, std::string> env_;
    int runs_ = 0;
};

std::string Describe(const std::vector<std::string> &args)
{
    std::string text = "vontrel";
    for (const std::string &a : args) {
        text += " " + a;
    }
    return text;
}

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

TEST_F(Tool, UsageErrorsSendNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {"set", "--freq", "6000"},
        {"set", "--freq", "299.9"},
        {"set", "--atten", "10.1"},
        {"set", "--atten", "32"},
        {"set", "--level", "70"},
        {"set", "--level", "5", "--atten", "3"},
        {"set", "--level", "5", "--mode", "1"},
        {"set", "--mode", "4"},
        {"set", "--switch", "1.5"},
        {"set", "--flag-a", "maybe"},
        {"set", "--trim-a", "256"},
        {"set", "--trim-b", "3", "--auto-trim", "on"},
        {"set", "--stored-setting", "-1"},
        {"set", "--wait-lock", "-1"},
        {"--unit", "4660", "status"},
        {"--unit", "serial:x", "status"},
        {"sweep", "--start", "100", "--stop", "200", "--step", "10"},
        {"sweep", "--start", "1000", "--stop", "2000", "--step", "0"},
        {"sweep", "--start", "1000", "--stop", "2000"},
        {"sweep", "--list", "/nonexistent/points.txt"},
        {"sweep", "--start", "1000", "--stop", "1001", "--step", "1", "--format", "xml"},
        {"frobnicate"},
        {},
    };
    for (const auto &args : cases) {
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << Describe(args) << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << Describe(args);
        EXPECT_EQ(FramesTraced(), 0) << Describe(args) << " sent a frame";
        EXPECT_FALSE(fs::exists(dir_ / "state.json")) << Describe(args) << " reached the bench";
    }
    const Result range = Run({"set", "--freq", "6000"});
    EXPECT_TRUE(Contains(range.err, "300 to 5000 MHz")) << range.err;
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
        ASSERT_EQ(Wait(a, "a").status, 0);
        ASSERT_EQ(Wait(b, "b").status, 0);
        EXPECT_EQ(Run({"--json", "--unit", "serial:4660", "status"}).json()["frequency_mhz"],
                  std::stod(fa));
        EXPECT_EQ(Run({"--json", "--unit", "serial:12345", "status"}).json()["frequency_mhz"],
                  std::stod(fb));
    }
}

TEST_F(Tool, SweepWritesCsvAndJsonFiles)
{
    const fs::path list = dir_ / "points.txt";
    std::ofstream(list) << "frequency_mhz\n# band edges\n300\n\n5000, upper\n2455.5\n";
    const fs::path csv = dir_ / "points.csv";
    const Result r = Run({"--unit", "index:0", "sweep", "--list", list.string(), "--atten", "5",
                          "-o", csv.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream rows(Slurp(csv));
    std::vector<std::string> lines;
    for (std::string line; std::getline(rows, line);) {
        lines.push_back(line.substr(0, line.rfind(',') + 1));  // lock_ms depends on timing
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"frequency_mhz,locked,", "300,1,", "5000,1,",
                                               "2455.5,1,"}));
    EXPECT_FALSE(Contains(r.err, "\r")) << "progress bar on a pipe";

    const fs::path json = dir_ / "points.json";
    ASSERT_EQ(Run({"--unit", "index:0", "sweep", "--start", "5000", "--stop", "4999.8", "--step",
                   "0.1", "-o", json.string()})
                  .status,
              0);
    const Json points = Json::parse(Slurp(json));
    ASSERT_EQ(points.size(), 3U);
    EXPECT_EQ(points[1]["frequency_mhz"], 4999.9);
    EXPECT_EQ(points[2]["frequency_mhz"], 4999.8);
    // The unit stays at the last point, to the synthesizer's resolution.
    EXPECT_NEAR(
        Run({"--json", "--unit", "index:0", "status"}).json()["frequency_mhz"].get<double>(),
        4999.8, 1e-6);
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

TEST_F(Tool, HelpAndVersion)
{
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "Exit status")) << help.out;
    const Result set_help = Run({"set", "--help"});
    EXPECT_EQ(set_help.status, 0);
    EXPECT_TRUE(Contains(set_help.out, "--wait-lock")) << set_help.out;
    const Result version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(Contains(version.out, "libvontrel")) << version.out;
    EXPECT_EQ(FramesTraced(), 0);
}

}  // namespace
