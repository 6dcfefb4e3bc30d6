// SPDX-License-Identifier: MIT
// What the web front end's routes share: the units' panels and sweeps,
// the news the event streams wait on, and the request checks.
#ifndef VONTREL_FRONTENDS_HTTP_SITE_H
#define VONTREL_FRONTENDS_HTTP_SITE_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "frontends/http/panel_state.h"
#include "frontends/http/security.h"
#include "frontends/http/sweep_panel.h"
#include "frontends/http/web_server.h"

namespace httplib {
class Server;
}

namespace vontrel::serve::web {

// Event streams open at once (pages open, across all units): each holds one
// of the server's threads; kSpareThreads more serve the pages' other
// requests.
inline constexpr int kMaxEventStreams = 24;
inline constexpr int kSpareThreads = 8;

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

// Registers every route of the site on `http`.
void AddRoutes(httplib::Server &http, WebServer::Site &site);

}  // namespace vontrel::serve::web

#endif
