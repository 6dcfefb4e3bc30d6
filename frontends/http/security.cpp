// SPDX-License-Identifier: MIT
// The checks of the web front end's requests.
#include "frontends/http/security.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <stdexcept>

#include "frontends/net/text.h"

namespace vontrel::serve::web {
namespace {

bool IsWildcard(const std::string &listen)
{
    return listen.empty() || listen == "0.0.0.0" || listen == "::";
}

// The addresses of this machine's interfaces, as text.
void AddInterfaceAddresses(std::set<std::string> &hosts)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        return;
    }
    for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) {
            continue;
        }
        std::array<char, INET6_ADDRSTRLEN> text{};
        const int family = a->ifa_addr->sa_family;
        const void *address =
            family == AF_INET ? static_cast<const void *>(
                                    &reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr)
            : family == AF_INET6
                ? static_cast<const void *>(
                      &reinterpret_cast<const sockaddr_in6 *>(a->ifa_addr)->sin6_addr)
                : nullptr;
        if (address != nullptr && inet_ntop(family, address, text.data(), text.size()) != nullptr) {
            hosts.insert(net::AsciiLower(text.data()));
        }
    }
    freeifaddrs(list);
}

}  // namespace

std::string HostName(const std::string &host)
{
    if (!host.empty() && host.front() == '[') {
        const auto end = host.find(']');
        return end == std::string::npos ? std::string() : net::AsciiLower(host.substr(1, end - 1));
    }
    return net::AsciiLower(host.substr(0, host.find(':')));
}

Guard::Guard(const std::string &listen, bool loopback, std::string token, bool wildcard)
    : hosts_{"localhost", "127.0.0.1", "::1"}, loopback_(loopback), token_(std::move(token))
{
    if (wildcard || IsWildcard(listen)) {
        std::array<char, 256> name{};
        if (gethostname(name.data(), name.size() - 1) == 0 && name[0] != '\0') {
            hosts_.insert(net::AsciiLower(name.data()));
            hosts_.insert(net::AsciiLower(name.data()) + ".local");
        }
        AddInterfaceAddresses(hosts_);
    } else {
        hosts_.insert(net::AsciiLower(listen));
    }
}

std::optional<Refusal> Guard::CheckHost(const std::string &host) const
{
    if (hosts_.count(HostName(host)) == 0) {
        return Refusal{421, fmt::format("this server does not answer to the name \"{}\"", host)};
    }
    return std::nullopt;
}

std::optional<Refusal> Guard::CheckChange(const std::string &host, const std::string &origin,
                                          const std::string &content_type,
                                          const std::string &token) const
{
    // A browser names the page that sent a request in Origin; it must be
    // one of this server's own, reached under the same name.
    if (!origin.empty() && net::AsciiLower(origin) != "http://" + net::AsciiLower(host)) {
        return Refusal{403, fmt::format("changes come only from this server's own pages, not "
                                        "from {}",
                                        origin)};
    }
    // A form on another site can post other types without asking first;
    // JSON it cannot.
    if (net::AsciiLower(content_type.substr(0, content_type.find(';'))) != "application/json") {
        return Refusal{415, "a change is sent as application/json"};
    }
    if (!changes_allowed()) {
        return Refusal{403,
                       "this server listens beyond this machine without a token "
                       "(--http-token-file): its pages are read-only"};
    }
    // Compared in full whatever the first difference, so that the time
    // taken tells nothing of the token.
    unsigned char difference = token.size() == token_.size() ? 0 : 1;
    for (std::size_t i = 0; i < token_.size(); ++i) {
        difference |= static_cast<unsigned char>(token_[i] ^ (i < token.size() ? token[i] : 0));
    }
    if (token_required() && difference != 0) {
        return Refusal{401, token.empty() ? "changes need the server's token"
                                          : "the token is not the server's"};
    }
    return std::nullopt;
}

std::string ReadToken(const std::string &path)
{
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error(fmt::format("--http-token-file {}: cannot be read", path));
    }
    std::string line;
    std::getline(file, line);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos) {
        throw std::runtime_error(fmt::format("--http-token-file {}: holds no token", path));
    }
    return line.substr(first, last - first + 1);
}

}  // namespace vontrel::serve::web
