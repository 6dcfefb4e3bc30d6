// SPDX-License-Identifier: MIT
// The web front end's routes: the units' state and changes as JSON, the
// event stream, the sweep, and the LXI identification document.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "frontends/http/site.h"
#include "frontends/net/text.h"
#include "service/errors.h"

namespace vontrel::serve::web {

void ReplyJson(Response &res, int status, const nlohmann::json &body)
{
    res.status = status;
    res.type = "application/json";
    res.body = JsonText(body);
}

namespace {

using nlohmann::json;

// A comment keeps an event stream open every kKeepAliveWaits seconds
// without news. The comments are also how a page that went away without a
// word is noticed (the second write after it fails), freeing its place
// among the kMaxEventStreams: so they come every few seconds.
constexpr int kKeepAliveWaits = 2;

// Sent with every answer: the pages run only their own scripts and styles
// and load nothing from anywhere else, and no other site may frame them.
void AddSafetyHeaders(Response &res)
{
    res.headers.emplace_back("Content-Security-Policy",
                             "default-src 'none'; script-src 'self'; style-src 'self'; "
                             "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                             "form-action 'none'; frame-ancestors 'none'");
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    res.headers.emplace_back("Referrer-Policy", "no-referrer");
    res.headers.emplace_back("Cache-Control", "no-store");
}

void Refuse(Response &res, int status, const std::string &message)
{
    ReplyJson(res, status, {{"error", message}});
}

// The unit a path names, or panels.size() after a 404.
std::size_t UnitIndex(WebServer::Site &site, const Request &req, Response &res)
{
    const std::string &text = req.matches.at(0);
    const std::size_t index = text.size() > 6 ? site.panels.size() : std::stoul(text);
    if (index >= site.panels.size()) {
        Refuse(res, 404, fmt::format("no unit {} is served here", text));
    }
    return index;
}

// The body of a change, or none after a 400.
std::optional<json> Body(const Request &req, Response &res)
{
    if (!net::IsUtf8(req.body)) {
        Refuse(res, 400, "the body is not UTF-8");
        return std::nullopt;
    }
    try {
        return json::parse(req.body);
    } catch (const json::exception &e) {
        Refuse(res, 400, fmt::format("the body is not JSON: {}", e.what()));
        return std::nullopt;
    }
}

// The HTTP status of a refusal of the service layer: 422 for a value it
// does not take or the unit cannot do, 409 for a change it cannot make now
// (a sweep runs, another session holds the unit's lock), 503 when the unit
// could not be reached.
int RefusalStatus(service::Reason reason)
{
    switch (reason) {
        case service::Reason::kValueRefused:
        case service::Reason::kUnsupported:
            return 422;
        case service::Reason::kConflict:
        case service::Reason::kLocked:
            return 409;
        case service::Reason::kUnitFailed:
        case service::Reason::kStopped:
            break;
    }
    return 503;
}

// Makes a change for a page: 200 with what `change` answers (the state read
// after it), or the refusal with its status and message.
void Changing(Response &res, const std::function<json()> &change)
{
    try {
        ReplyJson(res, 200, change());
    } catch (const std::invalid_argument &e) {
        Refuse(res, 422, e.what());
    } catch (const service::Refusal &e) {
        Refuse(res, RefusalStatus(e.reason()), e.what());
    } catch (const std::system_error &e) {
        Refuse(res, 503, e.what());
    }
}

using net::XmlEscaped;

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
// every sweep, whenever there is news; a comment keeps it open every
// kKeepAliveWaits seconds without news.
class Events : public EventStream {
public:
    explicit Events(WebServer::Site &site) : site_(site)
    {
        sweeps_.assign(site.sweeps.size(), {~std::uint64_t{0}, 0});
    }
    ~Events() override { --site_.news.viewers; }
    Events(const Events &) = delete;
    Events &operator=(const Events &) = delete;

    std::optional<std::string> Next() override
    {
        if (site_.stopping) {
            return std::nullopt;
        }
        const std::uint64_t version = site_.news.version();
        if (version == version_) {
            if (++quiet_ >= kKeepAliveWaits) {
                quiet_ = 0;
                return ": still here\n\n";
            }
            return "";
        }
        version_ = version;
        quiet_ = 0;
        json units = json::array();
        json sweeps = json::array();
        for (std::size_t i = 0; i < site_.panels.size(); ++i) {
            units.push_back(site_.panels[i]->Kept());
            auto &[generation, sent] = sweeps_[i];
            json progress = site_.sweeps[i]->Progress(0);
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
        return "data: " + JsonText(json{{"units", units}, {"sweeps", sweeps}}) + "\n\n";
    }

private:
    WebServer::Site &site_;
    std::uint64_t version_ = ~std::uint64_t{0};
    std::vector<std::pair<std::uint64_t, std::size_t>> sweeps_;  // generation, points sent
    int quiet_ = 0;
};

void OpenEvents(WebServer::Site &site, Response &res)
{
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
    res.type = "text/event-stream";
    res.stream = std::make_shared<Events>(site);
}

}  // namespace

bool BeforeRouting(WebServer::Site &site, const Request &req, Response &res)
{
    const std::string host = req.Header("host");
    if (!net::IsUtf8(host)) {
        Refuse(res, 421, "the Host header is not UTF-8");
        return true;
    }
    if (auto refused = site.guard.CheckHost(host)) {
        Refuse(res, refused->status, refused->message);
        return true;
    }
    if (req.method == "GET" || req.method == "HEAD") {
        return false;
    }
    if (req.method != "POST") {
        Refuse(res, 405, "pages read with GET and change with POST");
        return true;
    }
    if (auto refused =
            site.guard.CheckChange(host, req.Header("origin"), req.Header("content-type"),
                                   req.Header(net::AsciiLower(kTokenHeader)))) {
        Refuse(res, refused->status, refused->message);
        return true;
    }
    return false;
}

void AfterRouting(Response &res)
{
    AddSafetyHeaders(res);
}

void AddRoutes(HttpServer &http, WebServer::Site &site)
{
    // Quick: answered on the server's own thread, from what is kept.
    http.Route(
        "GET", "/api/info",
        [&site](const Request &, Response &res) {
            ReplyJson(res, 200,
                      {{"host", site.host},
                       {"units", site.panels.size()},
                       {"changes_allowed", site.guard.changes_allowed()},
                       {"token_required", site.guard.token_required()},
                       {"token_header", kTokenHeader},
                       {"max_body_bytes", kMaxBodyBytes},
                       {"lock_poll_s", std::chrono::duration<double>(kLockPoll).count()}});
        },
        true);
    http.Route(
        "GET", "/api/limits",
        [](const Request &, Response &res) { ReplyJson(res, 200, LimitsJson()); }, true);
    http.Route(
        "GET", "/api/events", [&site](const Request &, Response &res) { OpenEvents(site, res); },
        true);
    // The others may reach a unit: on the workers.
    http.Route("GET", "/api/units", [&site](const Request &, Response &res) {
        json units = json::array();
        for (const auto &panel : site.panels) {
            units.push_back(panel->State());
        }
        ReplyJson(res, 200, units);
    });
    http.Route("GET", "/api/units/#", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            ReplyJson(res, 200, site.panels[i]->State());
        }
    });
    http.Route("POST", "/api/units/#/settings", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        const std::optional<json> body = i < site.panels.size() ? Body(req, res) : std::nullopt;
        if (body) {
            Changing(res, [&] {
                return site.panels[i]->Change(ChangeFromJson(*body, site.panels[i]->scale()));
            });
        }
    });
    // Preset and saving the power-up settings take an empty object.
    for (const bool save : {false, true}) {
        http.Route("POST", save ? "/api/units/#/save-preset" : "/api/units/#/preset",
                   [&site, save](const Request &req, Response &res) {
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
                       Changing(res, [&] {
                           return save ? site.panels[i]->SaveUserPreset()
                                       : site.panels[i]->Preset();
                       });
                   });
    }
    http.Route("POST", "/api/units/#/sweep", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        const std::optional<json> body = i < site.panels.size() ? Body(req, res) : std::nullopt;
        if (body) {
            Changing(res, [&] {
                site.sweeps[i]->Start(*body);
                return site.sweeps[i]->Progress();
            });
        }
    });
    http.Route("POST", "/api/units/#/sweep/abort", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            site.sweeps[i]->Abort();
            ReplyJson(res, 200, site.sweeps[i]->Progress());
        }
    });
    http.Route("GET", "/api/units/#/sweep", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            ReplyJson(res, 200, site.sweeps[i]->Progress());
        }
    });
    http.Route("GET", "/api/units/#/sweep.csv", [&site](const Request &req, Response &res) {
        const std::size_t i = UnitIndex(site, req, res);
        if (i < site.panels.size()) {
            res.headers.emplace_back("Content-Disposition",
                                     fmt::format("attachment; filename=\"sweep-unit{}.csv\"", i));
            res.type = "text/csv";
            res.body = site.sweeps[i]->Csv();
        }
    });
    http.Route("GET", "/lxi/identification", [&site](const Request &req, Response &res) {
        std::size_t i = 0;
        if (const std::optional<std::string> text = req.Param("unit")) {
            i = text->empty() || text->size() > 6 ||
                        text->find_first_not_of("0123456789") != std::string::npos
                    ? site.panels.size()
                    : std::stoul(*text);
        }
        if (i >= site.panels.size()) {
            Refuse(res, 404, "no such unit is served here");
            return;
        }
        res.type = "text/xml";
        res.body = Identification(site, i, "http://" + req.Header("host"));
    });
}

}  // namespace vontrel::serve::web
