// SPDX-License-Identifier: MIT
// Who may read and who may change a unit through the web front end. Every
// request must name this server in its Host header (a page served under
// another name, after its name was pointed at this machine, is refused);
// a change must come from one of this server's own pages or from a client
// that sends no Origin at all, carry JSON, and, when the server listens
// beyond this machine, the token.
#ifndef VONTREL_FRONTENDS_HTTP_SECURITY_H
#define VONTREL_FRONTENDS_HTTP_SECURITY_H

#include <cstddef>
#include <optional>
#include <set>
#include <string>

namespace vontrel::serve::web {

// The largest request body taken; a larger one is refused with 413.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{64} * 1024;

// The header that carries the token.
inline constexpr const char *kTokenHeader = "X-Vontrel-Token";

// A request refused: its HTTP status and the message shown to the user.
struct Refusal {
    int status;
    std::string message;
};

class Guard {
public:
    // `listen`: the address as given to --listen; `loopback`: whether it
    // reaches this machine only; `token`: what changes need (empty: none).
    // Beyond this machine without a token, nothing may be changed.
    Guard(const std::string &listen, bool loopback, std::string token);

    // The names this server answers to, lower case and without port: the
    // loopback names, the listen address, and for a wildcard address this
    // machine's name and the addresses of its interfaces.
    const std::set<std::string> &hosts() const { return hosts_; }

    bool token_required() const { return !token_.empty(); }
    bool changes_allowed() const { return loopback_ || !token_.empty(); }

    // Any request: its Host header must name this server.
    std::optional<Refusal> CheckHost(const std::string &host) const;

    // A request that changes a unit, after CheckHost: `origin` and `token`
    // are the headers' values, empty when absent.
    std::optional<Refusal> CheckChange(const std::string &host, const std::string &origin,
                                       const std::string &content_type,
                                       const std::string &token) const;

private:
    std::set<std::string> hosts_;
    bool loopback_;
    std::string token_;
};

// The host name in a Host header: "[::1]:8080" gives "::1", "Lab:80" "lab".
std::string HostName(const std::string &host);

// Reads the token from `path`: its first line, without surrounding blanks.
// Throws std::runtime_error when the file cannot be read or holds none.
std::string ReadToken(const std::string &path);

}  // namespace vontrel::serve::web

#endif
