// SPDX-License-Identifier: MIT
// Starting and stopping the web front end.
#include "frontends/http/web_server.h"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

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
      guard(address.text, IsLoopback(address), std::move(token)),
      host(VisaHost(address.text)),
      log(std::move(log_to))
{
    for (std::size_t i = 0; i < units.size(); ++i) {
        panels.push_back(std::make_unique<UnitPanel>(*units[i].owner, i, units[i].port,
                                                     units[i].visa, news, log, stopping));
        sweeps.push_back(std::make_unique<SweepPanel>(*units[i].owner, i, news, log, stopping));
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
    : site_(std::make_unique<Site>(address, std::move(units), std::move(token), std::move(log))),
      http_(std::make_unique<httplib::Server>())
{
    http_->new_task_queue = [] {
        return new httplib::ThreadPool(kMaxEventStreams + kSpareThreads);
    };
    http_->set_payload_max_length(kMaxBodyBytes);
    AddRoutes(*http_, *site_);
    if (!http_->set_mount_point("/", WebRoot())) {
        throw std::runtime_error(fmt::format("the web pages are not in {}", WebRoot()));
    }
}

WebServer::~WebServer()
{
    site_->stopping = true;
    site_->news.Bump();  // event streams end
    http_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

int WebServer::Start(int port)
{
    const int bound = port == 0 ? http_->bind_to_any_port(site_->listen_text)
                                : (http_->bind_to_port(site_->listen_text, port) ? port : -1);
    if (bound < 0) {
        throw std::runtime_error(fmt::format("cannot listen for the web front end on {} port {}",
                                             site_->listen_text, port));
    }
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    return bound;
}

}  // namespace vontrel::serve::web
