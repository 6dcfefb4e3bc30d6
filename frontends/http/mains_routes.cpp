// SPDX-License-Identifier: MIT
// The mains switches on the web front end.
#include "frontends/http/mains_routes.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "frontends/http/site.h"
#include "service/errors.h"

namespace vontrel::serve::web {
namespace {

using nlohmann::json;

// One switch as the pages show it: each outlet with the units the units
// file says it powers. A switch that cannot be read says why.
json SwitchJson(const std::string &serial, service::MainsSwitches &switches,
                service::PowerControl &power)
{
    json outlets = json::array();
    std::string problem;
    std::bitset<service::kMainsOutlets> on;
    try {
        on = switches.Outlets(serial);
    } catch (const std::exception &e) {
        problem = e.what();
    }
    for (int n = 1; n <= service::kMainsOutlets; ++n) {
        json units = json::array();
        for (const auto &[unit, config] : power.units().units) {
            if (config.power && config.power->outlet == n) {
                try {
                    if (switches.Resolve(config.power->switch_serial) == serial) {
                        units.push_back(unit);
                    }
                } catch (const service::Refusal &) {
                    // The entry names a switch that is not here.
                }
            }
        }
        outlets.push_back(
            {{"outlet", n},
             {"on", problem.empty() ? json(static_cast<bool>(on[n - 1])) : json(nullptr)},
             {"units", units}});
    }
    return {{"serial", serial}, {"problem", problem}, {"outlets", outlets}};
}

}  // namespace

void AddMainsRoutes(HttpServer &http, WebServer::Site &site, service::MainsSwitches &switches,
                    service::PowerControl &power)
{
    http.Route("GET", "/api/mains", [&switches, &power](const Request &, Response &res) {
        json all = json::array();
        for (const std::string &serial : switches.serials()) {
            all.push_back(SwitchJson(serial, switches, power));
        }
        ReplyJson(res, 200, {{"switches", all}});
    });
    http.Route(
        "POST", "/api/mains/*/outlets/#",
        [&site, &switches, &power](const Request &req, Response &res) {
            const std::string serial = req.matches.at(0);
            const int outlet = req.matches.at(1).size() > 2 ? 0 : std::stoi(req.matches.at(1));
            const auto serials = switches.serials();
            if (std::find(serials.begin(), serials.end(), serial) == serials.end() || outlet < 1 ||
                outlet > service::kMainsOutlets) {
                ReplyJson(res, 404,
                          {{"error", fmt::format("no outlet {} of a mains switch {} is served here",
                                                 outlet, serial)}});
                return;
            }
            json body;
            try {
                body = json::parse(req.body);
            } catch (const json::exception &e) {
                ReplyJson(res, 400, {{"error", fmt::format("the body is not JSON: {}", e.what())}});
                return;
            }
            if (!body.is_object() || body.size() != 1 || !body.contains("on") ||
                !body["on"].is_boolean()) {
                ReplyJson(res, 422,
                          {{"error", R"(an outlet takes {"on": true} or {"on": false})"}});
                return;
            }
            const bool on = body["on"].get<bool>();
            site.log(fmt::format("web {}: mains switch {} outlet {} {}", req.remote, serial, outlet,
                                 on ? "on" : "off"));
            try {
                // A session of its own: the web holds no lock, so a unit another
                // session has locked refuses it.
                power.SetOutlet({serial, outlet}, on, service::NewSessionId());
            } catch (const service::Refusal &e) {
                const int status = e.reason() == service::Reason::kConflict       ? 409
                                   : e.reason() == service::Reason::kValueRefused ? 422
                                                                                  : 503;
                ReplyJson(res, status, {{"error", e.what()}});
                return;
            } catch (const std::system_error &e) {
                ReplyJson(res, 503, {{"error", e.what()}});
                return;
            }
            site.news.Bump();  // the units it powers have news
            ReplyJson(res, 200, SwitchJson(serial, switches, power));
        });
}

}  // namespace vontrel::serve::web
