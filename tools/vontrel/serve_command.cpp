// SPDX-License-Identifier: MIT
// The serve subcommand: finds the units, opens a port for each, and runs
// the server until a signal stops it.
#include "tools/vontrel/serve_command.h"

#include <fmt/format.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>

#include "frontends/http/security.h"
#include "frontends/http/web_server.h"
#include "frontends/net/announce.h"
#include "frontends/net/visa_resources.h"
#include "frontends/scpi/instrument.h"
#include "frontends/scpi/socket_server.h"
#include "frontends/vxi11/server.h"
#include "include/vontrel_mains.h"
#include "service/level_units.h"
#include "service/log_writer.h"
#include "service/mains_switches.h"
#include "service/output_state.h"
#include "service/unit_causes.h"
#include "service/unit_power.h"
#include "service/units_file.h"
#include "tools/vontrel/unit_select.h"
#include "vontrel_status.h"

namespace vontrel::serve {
namespace {

constexpr int kMaxPort = 65535;
constexpr int kMaxIdleTimeoutS = 7 * 24 * 3600;
constexpr int kMaxSerial = 65535;  // a unit's serial number is 16 bits
constexpr int kMaxCyclesPerHour = 60;

// A unit to serve and its port (0: one the system chooses).
struct Served {
    std::unique_ptr<service::UnitOwner> owner;
    int port = 0;
    std::string state;  // "index 0", or why it is not open yet
};

// --map SERIAL=PORT, checked.
std::vector<std::pair<int, int>> ParseMaps(const std::vector<std::string> &maps)
{
    std::vector<std::pair<int, int>> out;
    for (const std::string &map : maps) {
        int serial = -1;
        int port = -1;
        int end = 0;
        if (std::sscanf(map.c_str(), "%6d=%6d%n", &serial, &port, &end) != 2 ||
            static_cast<std::size_t>(end) != map.size() || map.find_first_of("+- ") != map.npos ||
            serial > kMaxSerial || port > kMaxPort) {
            throw tool::UsageError(fmt::format(
                "--map {}: give SERIAL=PORT, a serial number 0 to {} and a port 0 to {}", map,
                kMaxSerial, kMaxPort));
        }
        for (const auto &[other_serial, other_port] : out) {
            if (other_serial == serial || (port != 0 && other_port == port)) {
                throw tool::UsageError(
                    fmt::format("--map {}: each unit and each port is mapped once", map));
            }
        }
        out.emplace_back(serial, port);
    }
    return out;
}

// The units to serve. With --map, the units named there, each on its port,
// whether it can be opened now or not: one in use by another program or
// not attached answers -240 until it can be. Otherwise the one --unit
// selects, or every unit in the order of their serial numbers, on
// consecutive ports; then a unit in use by another program is waited for
// up to --wait-unit, and one still in use stops the server, since the
// ports would go to other units than on any other day.
std::vector<Served> ChooseUnits(const tool::Globals &g, const Options &options,
                                const service::Log &log)
{
    std::vector<Served> chosen;
    const service::UnitsFile &units = g.Units();
    const auto add = [&](vontrel::Unit unit, int port) {
        const std::string state = fmt::format("index {}", unit.index());
        const service::UnitConfig &config = units.For(unit.serial());
        chosen.push_back(
            {std::make_unique<service::UnitOwner>(std::move(unit), log, config), port, state});
    };
    if (!options.maps.empty()) {
        if (g.unit) {
            throw tool::UsageError("--map names the units to serve; leave out --unit");
        }
        service::Walk found = service::WalkUnits();
        for (const auto &[serial, port] : ParseMaps(options.maps)) {
            auto it = std::find_if(
                found.units.begin(), found.units.end(),
                [serial = serial](const vontrel::Unit &u) { return u.serial() == serial; });
            if (it != found.units.end()) {
                add(std::move(*it), port);
                continue;
            }
            const auto [code, why] = service::NotOpenCause(found.unopened);
            auto owner = std::make_unique<service::UnitOwner>(serial, make_status_code(code), why,
                                                              log, units.For(serial));
            std::string state = owner->WhyNotOpen() + "; served once it can be opened";
            chosen.push_back({std::move(owner), port, std::move(state)});
        }
        return chosen;  // the units not mapped are closed again
    }
    const auto port = [&](std::size_t i) {
        return options.port == 0 ? 0 : options.port + static_cast<int>(i);
    };
    if (g.unit) {
        add(tool::OpenSelected(g), options.port);
        return chosen;
    }
    tool::Found found = tool::OpenUnits(g);
    if (!found.unopened.empty()) {
        throw tool::DeviceError(
            "a converter that looks like a unit could not be used; without it, the ports would "
            "go to other units than they usually do:" +
                tool::UnopenedLines(found.unopened),
            "mend the cause, wait for a unit held by another program with --wait-unit SECONDS, "
            "or give each unit its port with --map SERIAL=PORT (a unit mapped is served once it "
            "can be opened)");
    }
    std::sort(
        found.units.begin(), found.units.end(),
        [](const vontrel::Unit &a, const vontrel::Unit &b) { return a.serial() < b.serial(); });
    for (std::size_t i = 0; i < found.units.size(); ++i) {
        if (port(i) > kMaxPort) {
            throw std::runtime_error(fmt::format("no port left for unit {}: {} is above {}",
                                                 found.units[i].serial(), port(i), kMaxPort));
        }
        add(std::move(found.units[i]), port(i));
    }
    return chosen;
}

// The values of an on|off option.
const std::map<std::string, bool> &OnOff()
{
    static const std::map<std::string, bool> values{{"on", true}, {"off", false}};
    return values;
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
    serve->add_option("--map", options.maps,
                      "SERIAL=PORT: serve this unit on this port, whether it can be opened now or "
                      "not (repeat for each unit; only the units mapped are served)");
    serve
        ->add_option("--idle-timeout", options.idle_timeout_s,
                     fmt::format("close a connection that sends nothing for this many seconds "
                                 "while no sweep or wait of its own runs; 0: never (default {})",
                                 net::kDefaultIdleTimeoutS))
        ->check(CLI::Range(0, kMaxIdleTimeoutS));
    serve
        ->add_option("--vxi11", options.vxi11,
                     "on: serve every unit over VXI-11 too, as TCPIP::HOST::inst0::INSTR, ... "
                     "(registered with rpcbind when it runs); off: the raw ports only "
                     "(default on)")
        ->transform(CLI::CheckedTransformer(OnOff(), CLI::ignore_case));
    serve
        ->add_option("--mdns", options.mdns,
                     "on: announce every unit over mDNS (_scpi-raw._tcp, _vxi-11._tcp) through "
                     "avahi-daemon when it runs; off: no announcements (default on)")
        ->transform(CLI::CheckedTransformer(OnOff(), CLI::ignore_case));
    serve
        ->add_option("--http", options.http_port,
                     "serve a web front end on this TCP port too (0: a free one), at the same "
                     "address; off unless given")
        ->check(CLI::Range(0, kMaxPort));
    serve->add_option("--http-token-file", options.http_token_file,
                      "file whose first line is the token that web changes need; without it, "
                      "pages served beyond this machine are read-only");
    serve
        ->add_option(
            "--mains-description", options.mains_description,
            fmt::format("what the mains switches' descriptions begin with (default: "
                        "${}, else \"{}\")",
                        VONTREL_MAINS_DESCRIPTION_VARIABLE, VONTREL_MAINS_DEFAULT_DESCRIPTION))
        ->type_name("TEXT");
    serve
        ->add_option("--power-cycle-stalled", options.revive_per_hour,
                     "power-cycle a unit that stops answering, when the units file maps it to a "
                     "mains outlet, at most N times an hour (default 0: never)")
        ->type_name("N")
        ->check(CLI::Range(0, kMaxCyclesPerHour));
    return serve;
}

int Run(const tool::Globals &globals, const Options &options)
{
    net::ListenAddress address;
    try {
        address = net::ResolveListenAddress(options.listen);
    } catch (const std::invalid_argument &e) {
        throw tool::UsageError(e.what());
    }

    if (!options.http_token_file.empty() && options.http_port < 0) {
        throw tool::UsageError("--http-token-file is for the web front end: give --http PORT too");
    }
    const std::string token =
        options.http_token_file.empty() ? "" : web::ReadToken(options.http_token_file);
    // The units file is read (and checked) before any unit is opened.
    service::UnitsFile units_file = globals.Units();
    if (options.mains_description.size() >= VONTREL_MAINS_TEXT_SIZE) {
        throw tool::UsageError(
            fmt::format("--mains-description: at most {} bytes", VONTREL_MAINS_TEXT_SIZE - 1));
    }

    // Signals arrive through a descriptor the server polls; every thread
    // started from here on has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Log lines are written by a thread of their own: a log that nobody
    // reads holds up no client.
    service::LogWriter writer(STDERR_FILENO, "vontrel serve: ");
    const service::Log log =
        options.quiet ? service::Log([](const std::string &) {}) : writer.Sink();

    // The units file is checked before any unit is opened.
    const service::UnitsFile &file = globals.Units();
    // While it waits for its units (--wait-unit), this thread alone takes
    // SIGINT and SIGTERM as they come: they end the process at once.
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    std::vector<Served> units = ChooseUnits(globals, options, log);
    for (const Served &unit : units) {
        const service::UnitConfig &config = unit.owner->config();
        const service::LevelScale scale = service::LevelScale::Of(config);
        log(fmt::format(
            "unit {}: levels in {}{}; {}{}", unit.owner->serial(), scale.UnitName(),
            scale.dbm() ? fmt::format(" (offset {} dB)", *scale.offset_db()) : "",
            service::OutputOffText(config),
            file.path.empty() ? " (no units file)" : " (units file " + file.path + ")"));
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // The mains switches, held for as long as the server runs, and the
    // units' power at the outlets the units file maps them to.
    std::optional<service::MainsSwitches> mains;
    mains.emplace(options.mains_description, log);
    std::optional<service::PowerControl> power;
    power.emplace(*mains, std::move(units_file), log);
    for (Served &unit : units) {
        power->Add(*unit.owner);
        unit.owner->set_power(&*power);
    }
    power->StartRevival(options.revive_per_hour);
    const int stop_fd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (stop_fd < 0) {
        throw std::runtime_error(
            fmt::format("signalfd failed: {}", std::generic_category().message(errno)));
    }
    bool ok = true;
    {
        Server server(address, log, options.idle_timeout_s);
        std::optional<vxi11::Vxi11Server> vxi11;
        if (options.vxi11) {
            std::vector<service::UnitOwner *> owners;
            for (Served &unit : units) {
                owners.push_back(unit.owner.get());
            }
            // VXI-11 links are sessions of the SCPI instrument.
            const net::SessionFactory instruments =
                [](service::UnitOwner &owner, service::ConnectionId id, std::string who,
                   service::Log session_log, const std::atomic<bool> &stopping) {
                    return std::make_unique<Instrument>(owner, id, std::move(who),
                                                        std::move(session_log), stopping);
                };
            vxi11.emplace(address, log, std::move(owners), instruments, options.idle_timeout_s);
            vxi11->Start();
        }
        std::optional<Announcer> announcer;
        if (options.mdns) {
            announcer.emplace(log, address);
        }
        std::vector<web::ServedUnit> web_units;
        for (std::size_t i = 0; i < units.size(); ++i) {
            Served &unit = units[i];
            const int bound = server.Listen(*unit.owner, unit.port);
            VisaResources visa = ResourcesOf(address, i, bound);
            fmt::print("unit {} ({}): {} port {}; VISA {}{}{}\n", unit.owner->serial(), unit.state,
                       address.text, bound, vxi11 ? visa.instr : "", vxi11 ? " and " : "",
                       visa.socket);
            if (announcer) {
                AnnounceUnit(*announcer, *unit.owner, bound, vxi11.has_value());
            }
            if (!vxi11) {
                visa.instr.clear();  // no INSTR resource without VXI-11
            }
            web_units.push_back({unit.owner.get(), bound, visa});
        }
        std::optional<web::WebServer> web_server;
        int web_port = 0;
        if (options.http_port >= 0) {
            web_server.emplace(address, std::move(web_units), token, log);
            web_server->ServeMains(*mains, *power);
            web_port = web_server->Start(options.http_port);
            if (announcer) {
                for (std::size_t i = 0; i < units.size(); ++i) {
                    AnnounceWebPanel(*announcer, *units[i].owner, i, web_port);
                }
            }
        }

        fmt::print("serving {} unit{} on {}{}; SIGINT or SIGTERM stops\n", units.size(),
                   units.size() == 1 ? "" : "s", address.text,
                   options.listen == "127.0.0.1"
                       ? " (this machine only; --listen ADDRESS serves others)"
                       : "");
        if (vxi11) {
            fmt::print("VXI-11 on {} core port {}, abort port {}\n", address.text,
                       vxi11->core_port(), vxi11->abort_port());
        }
        if (web_server) {
            fmt::print("web front end on http://{}:{}/\n", VisaHost(address), web_port);
        }
        for (const std::string &serial : mains->serials()) {
            const std::string problem = mains->Problem(serial);
            fmt::print("mains switch {}{}: MAINS:OUTLet<n> on the units' ports{}\n", serial,
                       problem.empty() ? "" : " (" + problem + ")",
                       web_server ? " and on the web front end" : "");
        }
        std::fflush(stdout);
        ok = server.Run(stop_fd);
    }               // every connection and page has ended
    power.reset();  // no power cycle runs
    mains.reset();  // every switch is closed; its outlets stay as they are
    units.clear();  // every unit is closed
    close(stop_fd);
    log(ok ? "stopped; units closed" : "stopped after a failure; units closed");
    return ok ? 0 : 1;
}

}  // namespace vontrel::serve
