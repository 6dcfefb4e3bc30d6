// SPDX-License-Identifier: MIT
// Commands per second for FREQ then FREQ? on unit 4660: over TCP through
// vontrel serve, or as the same library calls made directly (what the
// server does for them: FREQ reads the settings back and programs them,
// FREQ? reads them back). scripts/scpi-benchmark.sh runs both.
//   scpi_benchmark direct PAIRS
//   scpi_benchmark tcp PORT PAIRS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "include/vontrel.hpp"

namespace {

constexpr int kSerial = 4660;
constexpr double kFrequencies[2] = {2400.0, 2410.0};  // MHz, alternating

// The unit to measure, in mode 1 so that no step reads the level range back.
vontrel::Unit OpenUnit()
{
    for (vontrel::Unit &unit : vontrel::open_all()) {
        if (unit.serial() == kSerial) {
            vontrel::Settings s = static_cast<const vontrel::Settings &>(unit.status());
            s.mode = vontrel::Mode::kMode1;
            s.attenuation = 10.0;
            unit.apply(s);
            return std::move(unit);
        }
    }
    throw std::runtime_error("no unit 4660");
}

void Direct(std::int64_t pairs)
{
    vontrel::Unit unit = OpenUnit();
    for (std::int64_t i = 0; i < pairs; ++i) {
        vontrel::Settings s = static_cast<const vontrel::Settings &>(unit.status());  // FREQ
        s.frequency_mhz = kFrequencies[i % 2];
        unit.apply(s);
        if (unit.status().frequency_mhz != kFrequencies[i % 2]) {  // FREQ?
            throw std::runtime_error("the frequency did not come back");
        }
    }
}

void SendAll(int fd, const std::string &text)
{
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("send failed");
    }
}

void Tcp(int port, std::int64_t pairs)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect");
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SendAll(fd, "POW:ATT 10\n");
    std::string pending;
    char buffer[256];
    for (std::int64_t i = 0; i < pairs; ++i) {
        const double mhz = kFrequencies[i % 2];
        SendAll(fd, "FREQ " + std::to_string(static_cast<int>(mhz)) + " MHZ\n");
        SendAll(fd, "FREQ?\n");
        while (pending.find('\n') == std::string::npos) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                throw std::runtime_error("the server closed the connection");
            }
            pending.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string answer = pending.substr(0, pending.find('\n'));
        pending.erase(0, answer.size() + 1);
        if (std::stod(answer) != mhz * 1e6) {
            throw std::runtime_error("unexpected answer " + answer);
        }
    }
    close(fd);
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "direct" && argc == 3) || (mode == "tcp" && argc == 4))) {
        std::fprintf(stderr, "usage: scpi_benchmark direct PAIRS | scpi_benchmark tcp PORT PAIRS\n");
        return 2;
    }
    const std::int64_t pairs = std::atol(argv[argc - 1]);
    try {
        const auto start = std::chrono::steady_clock::now();
        if (mode == "direct") {
            Direct(pairs);
        } else {
            Tcp(std::atoi(argv[2]), pairs);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const double pair_ms = 1e3 * took.count() / static_cast<double>(pairs);
        std::printf("%-6s %" PRId64 " pairs in %.3f s: %.3f commands/s, %.4f ms a pair\n",
                    mode.c_str(), pairs, took.count(), 2e3 / pair_ms, pair_ms);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "scpi_benchmark: %s\n", e.what());
        return 1;
    }
    return 0;
}
