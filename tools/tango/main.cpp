// SPDX-License-Identifier: MIT
// vontrel-tango: the Tango device server of class VontrelSynthesizer.
//   vontrel-tango INSTANCE                 devices from the Tango database
//   vontrel-tango INSTANCE -nodb -dlist lab/vontrel/4660
//                 -ORBendPoint giop:tcp:127.0.0.1:PORT
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/tango/device.h"
#include "tools/tango/mains_device.h"
#include "vontrel_version.h"

void Tango::DServer::class_factory()
{
    // Without a database, Tango gives a -dlist without a class name to the
    // class added last: the synthesizer, as before there were two.
    add_class(vontrel::tango::MainsSwitchClass::init(vontrel::tango::kMainsClassName));
    add_class(vontrel::tango::SynthesizerClass::init(vontrel::tango::kClassName));
}

namespace {

void Usage()
{
    std::cout << "usage: vontrel-tango INSTANCE [-v[LEVEL]] [-nodb -dlist DEVICE[,DEVICE...]] "
                 "[-ORBendPoint giop:tcp:HOST:PORT]\n"
                 "\n"
                 "The Tango device server of class VontrelSynthesizer: one device per Vontrel\n"
                 "unit, found by its serial number (device property SerialNumber; without a\n"
                 "database, the last member of the device name, as in lab/vontrel/4660).\n"
                 "Device property LockPollPeriod: seconds between two reads of lock detect\n"
                 "(default 1, 0 for none; without a database, VONTREL_TANGO_LOCK_POLL_S).\n"
                 "Class VontrelMainsSwitch: one device per mains switch, found by its serial\n"
                 "(device property SerialNumber, or the name's last member: lab/mains/MS0001),\n"
                 "its outlets the attributes Outlet1 to Outlet8.\n"
                 "Without a database: vontrel-tango INSTANCE -nodb -dlist lab/vontrel/SERIAL\n"
                 "-ORBendPoint giop:tcp:127.0.0.1:PORT; with both classes, give each class its\n"
                 "devices: -dlist VontrelSynthesizer::lab/vontrel/4660 .... See vontrel-tango(1),\n"
                 "tango.md and mains.md (/usr/share/doc/libvontrel-doc/, or docs/ in the source).\n";
}

// The database Tango would use, "HOST:PORT", and where that was read: the
// environment's TANGO_HOST first, then the files Tango reads it from. An
// empty value when none names one.
std::pair<std::string, std::string> DatabaseSetting()
{
    if (const char *host = std::getenv("TANGO_HOST"); host != nullptr) {
        return {host, "the environment"};
    }
    std::vector<std::string> files;
    if (const char *home = std::getenv("HOME"); home != nullptr) {
        files.push_back(std::string(home) + "/.tangorc");
    }
    files.push_back("/etc/tangorc");
    for (const std::string &name : files) {
        std::ifstream file(name);
        for (std::string line; std::getline(file, line);) {
            if (line.rfind("TANGO_HOST=", 0) == 0) {
                return {line.substr(std::strlen("TANGO_HOST=")), name};
            }
        }
    }
    return {"", ""};
}

// Whether a TCP connection to one of the databases of `hosts`
// ("HOST:PORT[,HOST:PORT...]") opens within two seconds.
bool DatabaseAnswers(const std::string &hosts)
{
    std::istringstream list(hosts);
    for (std::string entry; std::getline(list, entry, ',');) {
        const std::size_t colon = entry.rfind(':');
        if (colon == std::string::npos) {
            continue;
        }
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        if (getaddrinfo(entry.substr(0, colon).c_str(), entry.substr(colon + 1).c_str(), &hints,
                        &found) != 0) {
            continue;
        }
        bool open = false;
        for (const addrinfo *a = found; a != nullptr && !open; a = a->ai_next) {
            const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                continue;
            }
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            open = (connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
                    (errno == EINPROGRESS && poll(&p, 1, 2000) == 1 &&
                     getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0));
            close(fd);
        }
        freeaddrinfo(found);
        if (open) {
            return true;
        }
    }
    return false;
}

bool WithoutDatabase(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-nodb") == 0) {
            return true;
        }
    }
    return false;
}


}  // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "-?") == 0)) {
        Usage();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "vontrel-tango " << VONTREL_VERSION_STRING << '\n';
        return 0;
    }
    if (argc < 2) {
        Usage();
        return 2;
    }
    if (const auto [host, where] = DatabaseSetting();
        !WithoutDatabase(argc, argv) &&
        (host.find(':') == std::string::npos || !DatabaseAnswers(host))) {
        std::cerr << "vontrel-tango: "
                  << (where.empty() ? std::string("no Tango database is named")
                      : host.find(':') == std::string::npos
                          ? "TANGO_HOST is '" + host + "' in " + where + ", not HOST:PORT"
                          : "no Tango database answers at " + host + " (TANGO_HOST, from " + where +
                                ")")
                  << ". Set TANGO_HOST=HOST:PORT to the\n"
                     "facility's database (e.g. TANGO_HOST=tango.lab:10000), where the server\n"
                     "and its devices are registered, or run without a database:\n"
                     "  vontrel-tango "
                  << argv[1]
                  << " -nodb -dlist lab/vontrel/SERIAL -ORBendPoint giop:tcp:127.0.0.1:PORT\n"
                     "See vontrel-tango(1).\n";
        return 2;
    }
    Tango::Util *tg = nullptr;
    try {
        tg = Tango::Util::init(argc, argv);
        tg->server_init(false);
        std::cout << "Ready to accept request" << std::endl;
        tg->server_run();
    } catch (const std::bad_alloc &) {
        std::cerr << "vontrel-tango: out of memory\n";
        return 1;
    } catch (const CORBA::Exception &e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    tg->server_cleanup();
    return 0;
}
