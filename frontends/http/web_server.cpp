// SPDX-License-Identifier: MIT
// Starting and stopping the web front end.
#include "frontends/http/web_server.h"

#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include "frontends/http/http_server.h"
#include "frontends/http/mains_routes.h"
#include "frontends/http/site.h"

namespace vontrel::serve::web {
namespace {

bool IsFolder(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string WebRoot()
{
    if (const char *dir = std::getenv("VONTREL_WEB_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    // Installed under another prefix than configured: beside the tool.
    std::error_code error;
    const std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::string beside = (tool.parent_path() / ".." / "share" / "vontrel" / "web").string();
    if (!error && IsFolder(beside)) {
        return beside;
    }
    return IsFolder(VONTREL_WEB_INSTALL_DIR) ? VONTREL_WEB_INSTALL_DIR : VONTREL_WEB_SOURCE_DIR;
}

bool IsLoopback(const net::ListenAddress &address)
{
    if (address.address.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address.address);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.address.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address.address);
        return IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr);
    }
    return false;
}

WebServer::Site::Site(const net::ListenAddress &address, std::vector<ServedUnit> units,
                      std::string token, service::Log log_to)
    : listen_text(address.text),
      guard(address.text, IsLoopback(address), std::move(token), address.wildcard),
      host(VisaHost(address)),
      log(std::move(log_to))
{
    for (std::size_t i = 0; i < units.size(); ++i) {
        // The pages share one session on each unit: their changes and
        // their sweep.
        const service::ConnectionId session = service::NewSessionId();
        panels.push_back(std::make_unique<UnitPanel>(*units[i].owner, i, units[i].port,
                                                     units[i].visa, news, log, stopping, session));
        sweeps.push_back(std::make_unique<SweepPanel>(*units[i].owner, i, news, log, session));
    }
}

WebServer::Site::~Site()
{
    stopping = true;
    sweeps.clear();  // each sweep stops
    panels.clear();
}

WebServer::WebServer(const net::ListenAddress &address, std::vector<ServedUnit> units,
                     std::string token, service::Log log)
    : address_(address),
      site_(std::make_unique<Site>(address, std::move(units), std::move(token), log))
{
    if (!IsFolder(WebRoot())) {
        throw std::runtime_error(fmt::format("the web pages are not in {}", WebRoot()));
    }
    Site &site = *site_;
    http_ = std::make_unique<HttpServer>(
        std::move(log),
        [&site](const Request &req, Response &res) { return BeforeRouting(site, req, res); },
        AfterRouting, WebRoot());
    AddRoutes(*http_, site);
    site.news.OnBump([http = http_.get()] { http->Notify(); });
}

WebServer::~WebServer()
{
    site_->stopping = true;
    site_->news.OnBump(nullptr);
    http_.reset();  // every connection and stream ends
}

void WebServer::ServeMains(service::MainsSwitches &switches, service::PowerControl &power)
{
    AddMainsRoutes(*http_, *site_, switches, power);
}

int WebServer::Start(int port)
{
    return http_->Start(address_, port);
}

}  // namespace vontrel::serve::web
