// SPDX-License-Identifier: MIT
#include "frontends/net/visa_resources.h"

#include <fmt/format.h>
#include <unistd.h>

#include <array>

namespace vontrel::serve {

std::string VisaHost(const std::string &listen)
{
    if (listen == "0.0.0.0" || listen == "::" || listen.empty()) {
        std::array<char, 256> name{};
        if (gethostname(name.data(), name.size() - 1) == 0 && name[0] != '\0') {
            return name.data();
        }
        return "localhost";
    }
    if (listen.find(':') != std::string::npos) {
        return "[" + listen + "]";
    }
    return listen;
}

std::string DeviceName(std::size_t index)
{
    return fmt::format("inst{}", index);
}

std::string SerialAlias(int serial)
{
    return fmt::format("sn{}", serial);
}

VisaResources ResourcesOf(const std::string &listen, std::size_t index, int port)
{
    const std::string host = VisaHost(listen);
    return {fmt::format("TCPIP::{}::{}::INSTR", host, DeviceName(index)),
            fmt::format("TCPIP::{}::{}::SOCKET", host, port)};
}

}  // namespace vontrel::serve
