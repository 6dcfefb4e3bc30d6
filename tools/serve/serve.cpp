// The serve subcommand: finds the units, opens a port for each, and runs
// the server until a signal stops it.
#include "tools/serve/serve.h"

#include <fmt/format.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <mutex>

#include "tools/serve/server.h"
#include "tools/unit_select.h"

namespace vontrel::serve {
namespace {

constexpr int kMaxPort = 65535;

// The units to serve: the one --unit selects, or all of them, chosen as
// every other subcommand chooses (a unit in use by another program is
// waited for up to --wait-unit and then named as such).
std::vector<vontrel::Unit> ChooseUnits(const tool::Globals &g, const Log &log)
{
    std::vector<vontrel::Unit> chosen;
    if (g.unit) {
        chosen.push_back(tool::OpenSelected(g));
        return chosen;
    }
    tool::Found found = tool::OpenUnits(g);
    if (found.not_opened > 0) {
        log(tool::InUseText(found.not_opened) + ", not served");
    }
    return std::move(found.units);
}

}  // namespace

CLI::App *AddCommand(CLI::App &app, Options &options)
{
    CLI::App *serve = app.add_subcommand(
        "serve", "serve each unit as an SCPI instrument over TCP until SIGINT or SIGTERM");
    serve
        ->add_option("--port", options.port,
                     "TCP port of the (first) unit, the next ones on the ports after it; 0 lets "
                     "the system choose free ports (default 5025)")
        ->check(CLI::Range(0, kMaxPort));
    serve->add_option("--listen", options.listen,
                      "address to listen on (default 127.0.0.1: this machine only)");
    serve->add_flag("--quiet", options.quiet, "no log lines on standard error");
    return serve;
}

int Run(const tool::Globals &globals, const Options &options)
{
    ListenAddress address;
    try {
        address = ResolveListenAddress(options.listen);
    } catch (const std::invalid_argument &e) {
        throw tool::UsageError(e.what());
    }

    // Signals arrive through a descriptor the server polls; every thread
    // started from here on has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int stop_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (stop_fd < 0) {
        throw std::runtime_error(
            fmt::format("signalfd failed: {}", std::generic_category().message(errno)));
    }

    auto log_mutex = std::make_shared<std::mutex>();
    const Log log = [quiet = options.quiet, log_mutex](const std::string &line) {
        if (!quiet) {
            const std::lock_guard<std::mutex> lock(*log_mutex);
            fmt::print(stderr, "vontrel serve: {}\n", line);
        }
    };

    std::vector<vontrel::Unit> units = ChooseUnits(globals, log);
    {
        Server server(address, log);
        for (std::size_t i = 0; i < units.size(); ++i) {
            const int port = options.port == 0 ? 0 : options.port + static_cast<int>(i);
            if (port > kMaxPort) {
                throw std::runtime_error(fmt::format("no port left for unit {}: {} is above {}",
                                                     units[i].serial(), port, kMaxPort));
            }
            const int serial = units[i].serial();
            const int index = units[i].index();
            const int bound =
                server.Listen(std::make_unique<UnitOwner>(std::move(units[i]), log), port);
            fmt::print("unit {} (index {}): {} port {}\n", serial, index, address.text, bound);
        }
        fmt::print("serving {} unit{} on {}{}; SIGINT or SIGTERM stops\n", units.size(),
                   units.size() == 1 ? "" : "s", address.text,
                   options.listen == "127.0.0.1"
                       ? " (this machine only; --listen ADDRESS serves others)"
                       : "");
        std::fflush(stdout);
        server.Run(stop_fd);
    }  // every connection has ended and every unit is closed
    close(stop_fd);
    log("stopped; units closed");
    return 0;
}

}  // namespace vontrel::serve
