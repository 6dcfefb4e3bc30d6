// SPDX-License-Identifier: MIT
// The web front end's routes: the units' state and changes as JSON, the
// event stream, the sweep, and the LXI identification document.
#include <httplib.h>

#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "frontends/http/site.h"

namespace vontrel::serve::web {
namespace {

using nlohmann::json;

// How long an event stream waits for news before it looks whether the
// server is stopping; a comment keeps it open every kKeepAliveWaits waits.
// The comments are also how a page that went away without a word is
// noticed (the second write after it fails), freeing its place among the
// kMaxEventStreams: so they come every few seconds.
constexpr auto kEventWait = std::chrono::seconds(1);
constexpr int kKeepAliveWaits = 2;

// Sent with every answer: the pages run only their own scripts and styles
// and load nothing from anywhere else, and no other site may frame them.
void AddSafetyHeaders(httplib::Response &res)
{
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                   "connect-src 'self'; base-uri 'none'; form-action 'none'; "
                   "frame-ancestors 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
}

void Reply(httplib::Response &res, int status, const json &body)
{
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void Refuse(httplib::Response &res, int status, const std::string &message)
{
    Reply(res, status, {{"error", message}});
}

// The unit a path names, or nullptr after a 404.
std::size_t UnitIndex(WebServer::Site &site, const httplib::Request &req, httplib::Response &res)
{
    const std::string &text = req.matches[1];
    const std::size_t index = text.size() > 6 ? site.panels.size() : std::stoul(text);
    if (index >= site.panels.size()) {
        Refuse(res, 404, fmt::format("no unit {} is served here", text));
    }
    return index;
}

// The body of a change, or none after a 400.
std::optional<json> Body(const httplib::Request &req, httplib::Response &res)
{
    try {
        return json::parse(req.body);
    } catch (const json::exception &e) {
        Refuse(res, 400, fmt::format("the body is not JSON: {}", e.what()));
        return std::nullopt;
    }
}

// The status of an instrument's refusal: 422 for a value it does not take
// (the -22x parameter errors), 409 for a command it cannot run now (-221,
// settings conflict, among others).
int RefusalStatus(const std::string &refusal)
{
    const bool conflict = refusal.rfind("-221", 0) == 0;
    return !conflict && refusal.rfind("-22", 0) == 0 ? 422 : 409;
}

// Runs a line of commands for a page: 200 with the unit's state, or the
// instrument's refusal.
void RunChange(WebServer::Site &site, std::size_t index, const std::string &line,
               const httplib::Request &req, httplib::Response &res)
{
    const std::string who = fmt::format("web {}:{}", req.remote_addr, req.remote_port);
    if (auto refused = site.panels[index]->Run(line, who)) {
        Refuse(res, RefusalStatus(*refused), *refused);
        return;
    }
    Reply(res, 200, site.panels[index]->State());
}

std::string XmlEscaped(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The LXI identification document of the unit served as instrument `index`.
std::string Identification(WebServer::Site &site, std::size_t index, const std::string &base)
{
    const json state = site.panels[index]->State();
    const VisaResources &visa = site.panels[index]->visa();
    std::string addresses;
    for (const std::string *resource : {&visa.instr, &visa.socket}) {
        if (!resource->empty()) {  // no INSTR resource without VXI-11
            addresses += fmt::format("    <InstrumentAddressString>{}</InstrumentAddressString>\n",
                                     XmlEscaped(*resource));
        }
    }
    return fmt::format(
        R"(<?xml version="1.0" encoding="UTF-8"?>
<LXIDevice xmlns="http://www.lxistandard.org/InstrumentIdentification/1.0" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://www.lxistandard.org/InstrumentIdentification/1.0 http://www.lxistandard.org/InstrumentIdentification/1.0/LXIIdentification.xsd">
  <Manufacturer>{}</Manufacturer>
  <Model>{}</Model>
  <SerialNumber>{}</SerialNumber>
  <FirmwareRevision>{}</FirmwareRevision>
  <ManufacturerDescription>{} RF synthesizer served by vontrel serve</ManufacturerDescription>
  <HomepageURL>{}/</HomepageURL>
  <DriverURL>{}/</DriverURL>
  <UserDescription>unit {} on {}</UserDescription>
  <IdentificationURL>{}/lxi/identification?unit={}</IdentificationURL>
  <Interface xsi:type="NetworkInformation" InterfaceType="LXI" IPType="IPv4" InterfaceName="eth0">
{}    <Hostname>{}</Hostname>
  </Interface>
  <IVISoftwareModuleName>none</IVISoftwareModuleName>
  <Domain>0</Domain>
  <LXIVersion>1.5</LXIVersion>
</LXIDevice>
)",
        kMaker, kModel, state.value("serial", 0),
        XmlEscaped(state.value("firmware", std::string("unknown"))), kMaker, XmlEscaped(base),
        XmlEscaped(base), state.value("serial", 0), XmlEscaped(site.host), XmlEscaped(base), index,
        addresses, XmlEscaped(site.host));
}

// The event stream of one page: every unit's state and the new points of
// every sweep, whenever there is news.
void Events(WebServer::Site &site, httplib::Response &res)
{
    struct Seen {
        std::uint64_t version = ~std::uint64_t{0};
        std::vector<std::pair<std::uint64_t, std::size_t>> sweeps;  // generation, points sent
        int quiet = 0;
    };
    // A place is taken in one step, so pages opening at once never exceed
    // the limit between them.
    int viewers = site.news.viewers.load();
    do {
        if (viewers >= kMaxEventStreams) {
            Refuse(
                res, 503,
                fmt::format("{} pages are open already; close one and reload", kMaxEventStreams));
            return;
        }
    } while (!site.news.viewers.compare_exchange_weak(viewers, viewers + 1));
    auto seen = std::make_shared<Seen>();
    seen->sweeps.assign(site.sweeps.size(), {~std::uint64_t{0}, 0});
    res.set_chunked_content_provider(
        "text/event-stream",
        [&site, seen](std::size_t, httplib::DataSink &sink) {
            const std::uint64_t version = site.news.Wait(seen->version, kEventWait);
            if (site.stopping) {
                sink.done();
                return true;
            }
            if (version == seen->version) {
                if (++seen->quiet >= kKeepAliveWaits) {
                    seen->quiet = 0;
                    const std::string comment = ": still here\n\n";
                    return sink.write(comment.data(), comment.size());
                }
                return true;
            }
            seen->version = version;
            json units = json::array();
            json sweeps = json::array();
            for (std::size_t i = 0; i < site.panels.size(); ++i) {
                units.push_back(site.panels[i]->State());
                auto &[generation, sent] = seen->sweeps[i];
                json progress = site.sweeps[i]->Progress(0);
                if (progress["generation"] != generation) {
                    generation = progress["generation"];
                    sent = 0;
                }
                json points = json::array();
                for (std::size_t p = sent; p < progress["points"].size(); ++p) {
                    points.push_back(progress["points"][p]);
                }
                progress["from"] = sent;
                progress["points"] = points;
                sent += points.size();
                sweeps.push_back(progress);
            }
            const std::string event =
                "data: " + json{{"units", units}, {"sweeps", sweeps}}.dump() + "\n\n";
            return sink.write(event.data(), event.size());
        },
        [&site](bool) { --site.news.viewers; });
}

}  // namespace

void AddRoutes(httplib::Server &http, WebServer::Site &site)
{
    using httplib::Request;
    using httplib::Response;
    using Handled = httplib::Server::HandlerResponse;

    http.set_pre_routing_handler([&site](const Request &req, Response &res) {
        const std::string host = req.get_header_value("Host");
        if (auto refused = site.guard.CheckHost(host)) {
            Refuse(res, refused->status, refused->message);
            return Handled::Handled;
        }
        if (req.method == "GET" || req.method == "HEAD") {
            return Handled::Unhandled;
        }
        if (req.method != "POST") {
            Refuse(res, 405, "pages read with GET and change with POST");
            return Handled::Handled;
        }
        if (auto refused = site.guard.CheckChange(host, req.get_header_value("Origin"),
                                                  req.get_header_value("Content-Type"),
                                                  req.get_header_value(kTokenHeader))) {
            Refuse(res, refused->status, refused->message);
            return Handled::Handled;
        }
        return Handled::Unhandled;
    });
    http.set_post_routing_handler([](const Request &, Response &res) { AddSafetyHeaders(res); });
    http.set_error_handler([](const Request &, Response &res) {
        if (res.body.empty()) {
            Refuse(res, res.status,
                   res.status == 413
                       ? fmt::format("a request body is at most {} bytes", kMaxBodyBytes)
                       : fmt::format("HTTP {}", res.status));
        }
    });
    http.set_exception_handler([](const Request &, Response &res, std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception &error) {
            Refuse(res, 500, error.what());
        } catch (...) {
            Refuse(res, 500, "the request failed");
        }
    });

    http.Get("/api/info", [&site](const Request &, Response &res) {
        Reply(res, 200,
              {{"host", site.host},
               {"units", site.panels.size()},
               {"changes_allowed", site.guard.changes_allowed()},
               {"token_required", site.guard.token_required()},
               {"token_header", kTokenHeader},
               {"max_body_bytes", kMaxBodyBytes},
               {"lock_poll_s", std::chrono::duration<double>(kLockPoll).count()}});
    });
    http.Get("/api/limits", [](const Request &, Response &res) { Reply(res, 200, LimitsJson()); });
    http.Get("/api/units", [&site](const Request &, Response &res) {
        json units = json::array();
        for (const auto &panel : site.panels) {
            units.push_back(panel->State());
        }
        Reply(res, 200, units);
    });
    http.Get(R"(/api/units/(\d+))", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            Reply(res, 200, site.panels[i]->State());
        }
    });
    http.Post(R"(/api/units/(\d+)/settings)", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        const std::optional<json> body = i < site.panels.size() ? Body(req, res) : std::nullopt;
        if (!body) {
            return;
        }
        std::string line;
        try {
            line = ChangeLine(*body);
        } catch (const std::invalid_argument &e) {
            Refuse(res, 422, e.what());
            return;
        }
        RunChange(site, i, line, req, res);
    });
    // Preset and saving the power-up settings take an empty object.
    for (const auto &[path, line] : {std::pair{"preset", "SYST:PRES"}, {"save-preset", "*SAV 0"}}) {
        http.Post(fmt::format(R"(/api/units/(\d+)/{})", path),
                  [&site, line = std::string(line)](const Request &req, Response &res) {
                      const std::size_t i = UnitIndex(site, req, res);
                      const std::optional<json> body =
                          i < site.panels.size() ? Body(req, res) : std::nullopt;
                      if (!body) {
                          return;
                      }
                      if (!body->is_object() || !body->empty()) {
                          Refuse(res, 422, "this action takes an empty object, {}");
                          return;
                      }
                      RunChange(site, i, line, req, res);
                  });
    }
    http.Post(R"(/api/units/(\d+)/sweep)", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        const std::optional<json> body = i < site.panels.size() ? Body(req, res) : std::nullopt;
        if (!body) {
            return;
        }
        try {
            if (auto refused = site.sweeps[i]->Start(*body)) {
                Refuse(res, RefusalStatus(*refused), *refused);
                return;
            }
        } catch (const std::invalid_argument &e) {
            Refuse(res, 422, e.what());
            return;
        }
        Reply(res, 200, site.sweeps[i]->Progress());
    });
    http.Post(R"(/api/units/(\d+)/sweep/abort)", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            site.sweeps[i]->Abort();
            Reply(res, 200, site.sweeps[i]->Progress());
        }
    });
    http.Get(R"(/api/units/(\d+)/sweep)", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            Reply(res, 200, site.sweeps[i]->Progress());
        }
    });
    http.Get(R"(/api/units/(\d+)/sweep\.csv)", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            res.set_header("Content-Disposition",
                           fmt::format("attachment; filename=\"sweep-unit{}.csv\"", i));
            res.set_content(site.sweeps[i]->Csv(), "text/csv");
        }
    });
    http.Get("/api/events", [&site](const Request &, Response &res) { Events(site, res); });
    http.Get("/lxi/identification", [&site](const Request &req, Response &res) {
        std::size_t i = 0;
        if (req.has_param("unit")) {
            const std::string text = req.get_param_value("unit");
            i = text.empty() || text.size() > 6 ||
                        text.find_first_not_of("0123456789") != std::string::npos
                    ? site.panels.size()
                    : std::stoul(text);
        }
        if (i >= site.panels.size()) {
            Refuse(res, 404, "no such unit is served here");
            return;
        }
        res.set_content(Identification(site, i, "http://" + req.get_header_value("Host")),
                        "text/xml");
    });
}

}  // namespace vontrel::serve::web
