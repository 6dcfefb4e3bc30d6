// SPDX-License-Identifier: MIT
// Reporting failures of the vontrel tool.
#include "tools/vontrel/report.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <optional>

#include "include/vontrel.hpp"
#include "tools/vontrel/commands.h"
#include "tools/vontrel/doctor.h"
#include "tools/vontrel/output.h"

namespace vontrel::tool {
namespace {

struct Message {
    std::string text;
    std::string hint;
    Json report = Json::object();  // what the command found before failing
    int status = -1;               // the D2XX status, when there is one
    std::string why = {};          // the D2XX library's own words, when it has any
};

int Emit(bool json, int exit_status, const Message &m)
{
    fmt::print(stderr, "vontrel: {}\n", m.text);
    if (!m.hint.empty()) {
        fmt::print(stderr, "  try: {}\n", m.hint);
    }
    if (!m.why.empty()) {
        fmt::print(stderr, "  why: {}\n", m.why);
    }
    if (exit_status == kExitUsage) {
        fmt::print(stderr, "Run with --help for more information.\n");
    }
    if (json) {
        Json j = m.report.is_object() ? m.report : Json{{"report", m.report}};
        j["error"] = m.text;
        if (m.status >= 0) {
            j["status"] = m.status;
            j["status_name"] = vontrel_status_name(static_cast<unsigned long>(m.status));
        }
        if (!m.hint.empty()) {
            j["hint"] = m.hint;
        }
        if (!m.why.empty()) {
            j["why"] = m.why;
        }
        j["exit_status"] = exit_status;
        PrintJson(j);
        (void)std::fflush(stdout);
    }
    return exit_status;
}

// The simulated bench, when it is the D2XX library in use, says why it is
// out of order (a bench description or setting it cannot use, a state file
// it cannot keep). Asked by name, since a real D2XX library has no such
// call.
struct SimulatorProblem {
    int kind = 0;  // 1: its configuration (nothing was sent), 2: a file it keeps or writes
    std::string text;
};

std::optional<SimulatorProblem> FindSimulatorProblem()
{
    using BenchError = int (*)(char *, std::size_t);
    void *symbol = dlsym(RTLD_DEFAULT, "vsim_bench_error");
    if (symbol == nullptr) {
        return std::nullopt;
    }
    char text[2048] = {};
    const int kind = reinterpret_cast<BenchError>(symbol)(text, sizeof text);  // NOLINT
    if (kind == 0) {
        return std::nullopt;
    }
    return SimulatorProblem{kind, text};
}

}  // namespace

namespace {

// The call a failure names: its text without the status message.
std::string CallName(const std::system_error &e)
{
    std::string call = e.what();
    const std::string suffix = ": " + e.code().message();
    if (call.size() > suffix.size() &&
        call.compare(call.size() - suffix.size(), suffix.size(), suffix) == 0) {
        call.resize(call.size() - suffix.size());
    }
    return call;
}

}  // namespace

std::string FailureText(const std::system_error &e)
{
    const std::string call = CallName(e);
    const auto code = static_cast<unsigned long>(e.code().value());
    return fmt::format("{} failed: {} ({}): {}", call, vontrel_status_name(code), code,
                       vontrel_status_message(code));
}

std::string DescribeFailure(const std::system_error &e)
{
    const auto problem = FindSimulatorProblem();
    return problem ? "the simulated bench cannot be used: " + problem->text : FailureText(e);
}

std::string HintFor(int status)
{
    switch (status) {
        case VONTREL_FT_INVALID_HANDLE:
            return "the unit was closed or unplugged under the tool; run the command again";
        case VONTREL_FT_DEVICE_NOT_FOUND:
            return "the converter went away, or a port named is not a serial port: 'vontrel "
                   "doctor' shows the ports";
        case VONTREL_FT_DEVICE_NOT_OPENED:
            return "another program may have the converter open: close it, or wait for it with "
                   "--wait-unit SECONDS; else unplug and replug the unit";
        case VONTREL_FT_IO_ERROR:
            return "check the USB cable and the unit's power, then try again";
        case VONTREL_FT_NOT_SUPPORTED:
            return "this build of libvontrel lacks the call; update the library";
        default:
            return "";
    }
}

int ReportUsage(bool json, const std::string &message)
{
    return Emit(json, kExitUsage, Message{message, ""});
}

int ReportFailure(bool json, const std::exception_ptr &failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError &e) {
        return Emit(json, kExitUsage, Message{e.what(), ""});
    } catch (const vontrel::LevelOutOfRange &e) {
        // Refused before anything was sent, or undone after programming.
        const std::string hint =
            fmt::format("choose a level from {} to {}", e.level_min(), e.level_max());
        return Emit(json, e.restored() ? kExitFailure : kExitUsage, Message{e.what(), hint});
    } catch (const std::invalid_argument &e) {
        return Emit(json, kExitUsage, Message{e.what(), ""});
    } catch (const std::system_error &e) {
        if (const auto problem = FindSimulatorProblem()) {
            const bool config = problem->kind == 1;
            return Emit(json, config ? kExitUsage : kExitFailure, Message{DescribeFailure(e), ""});
        }
        const int code = e.code().value();
        return Emit(json, kExitFailure,
                    Message{FailureText(e), HintFor(code), Json::object(), code,
                            CallName(e) == "Vontrel_Open" ? D2xxWalkMessage() : D2xxLastMessage()});
    } catch (const DeviceError &e) {
        return Emit(json, kExitFailure, Message{e.what(), e.hint(), e.report(), -1, e.why()});
    } catch (const OutputError &e) {
        return Emit(json, kExitFailure, Message{e.what(), e.hint()});
    } catch (const std::exception &e) {
        return Emit(json, kExitFailure, Message{e.what(), ""});
    }
}

}  // namespace vontrel::tool
