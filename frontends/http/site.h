// SPDX-License-Identifier: MIT
// What the web front end's routes share: the units' panels and sweeps,
// the news the event streams wait on, and the request checks.
#ifndef VONTREL_FRONTENDS_HTTP_SITE_H
#define VONTREL_FRONTENDS_HTTP_SITE_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "frontends/http/http_server.h"
#include "frontends/http/panel_state.h"
#include "frontends/http/security.h"
#include "frontends/http/sweep_panel.h"
#include "frontends/http/web_server.h"

namespace vontrel::serve::web {

// Event streams open at once (pages open, across all units). A stream holds
// no thread: the server writes every one from its waiting thread.
inline constexpr int kMaxEventStreams = 24;

struct WebServer::Site {
    Site(const net::ListenAddress &address, std::vector<ServedUnit> units, std::string token,
         service::Log log);
    ~Site();

    std::atomic<bool> stopping{false};
    std::string listen_text;  // the address listened on, as given
    Guard guard;
    std::string host;  // this machine as the pages name it
    service::Log log;
    News news;
    std::vector<std::unique_ptr<UnitPanel>> panels;
    std::vector<std::unique_ptr<SweepPanel>> sweeps;
};

// An answer of `body` as JSON text (JsonText), with its status.
void ReplyJson(Response &res, int status, const nlohmann::json &body);

// Registers every route of the site on `http`; what runs before each request
// (the checks of security.h) and what every answer gets.
void AddRoutes(HttpServer &http, WebServer::Site &site);
bool BeforeRouting(WebServer::Site &site, const Request &req, Response &res);
void AfterRouting(Response &res);

}  // namespace vontrel::serve::web

#endif
