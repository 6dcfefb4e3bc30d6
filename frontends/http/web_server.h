// SPDX-License-Identifier: MIT
// `vontrel serve --http PORT`: the web front end. Pages, scripts and
// styles are files installed with the tool (web_root()); the server adds
// the unit's state as JSON, a stream of server-sent events that carries
// every change of every unit to the open pages, the changes the pages ask
// for (checked by security.h, run by panel_state.h and sweep_panel.h), and
// the LXI identification document.
#ifndef VONTREL_FRONTENDS_HTTP_WEB_SERVER_H
#define VONTREL_FRONTENDS_HTTP_WEB_SERVER_H

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frontends/net/socket.h"
#include "frontends/net/visa_resources.h"
#include "service/unit_owner.h"

namespace httplib {
class Server;
}

namespace vontrel::serve::web {

// The folder the pages are served from: $VONTREL_WEB_DIR when set, else
// share/vontrel/web beside the tool's bin/, else the one of the configured
// prefix, else (run from the build tree) the source tree's.
std::string WebRoot();

// Whether the address reaches this machine only.
bool IsLoopback(const net::ListenAddress &address);

struct ServedUnit {
    service::UnitOwner *owner;
    int port;  // its SCPI port
    VisaResources visa;
};

class WebServer {
public:
    // `token`: what changes need (empty: none); see Guard.
    WebServer(const net::ListenAddress &address, std::vector<ServedUnit> units, std::string token,
              service::Log log);
    ~WebServer();  // stops serving
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Listens on `port` (0: a free one) and serves from a thread of its
    // own; returns the port. Throws std::runtime_error when it cannot.
    int Start(int port);

    struct Site;

private:
    std::unique_ptr<Site> site_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
};

}  // namespace vontrel::serve::web

#endif
