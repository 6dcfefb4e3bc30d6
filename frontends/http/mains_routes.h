// SPDX-License-Identifier: MIT
// The mains switches on the web front end: their outlets as JSON, and an
// outlet switched from a page, with the rules every change over the web
// keeps (security.h: this server's own pages, JSON, the token beyond this
// machine) and the units' own (an outlet that powers a unit another
// session has locked, or that runs a sweep, is not switched).
//
//   GET  /api/mains                       {"switches": [{"serial", "problem",
//                                          "outlets": [{"outlet", "on", "units"}]}]}
//   POST /api/mains/SERIAL/outlets/N      {"on": true|false}: that switch's state
#ifndef VONTREL_FRONTENDS_HTTP_MAINS_ROUTES_H
#define VONTREL_FRONTENDS_HTTP_MAINS_ROUTES_H

#include "frontends/http/http_server.h"
#include "frontends/http/web_server.h"

namespace vontrel::serve::web {

void AddMainsRoutes(HttpServer &http, WebServer::Site &site, service::MainsSwitches &switches,
                    service::PowerControl &power);

}  // namespace vontrel::serve::web

#endif
