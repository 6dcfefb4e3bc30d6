// SPDX-License-Identifier: MIT
// vontrel-tango: the Tango device server of class VontrelSynthesizer.
//   vontrel-tango INSTANCE                 devices from the Tango database
//   vontrel-tango INSTANCE -nodb -dlist lab/vontrel/4660
//                 -ORBendPoint giop:tcp:127.0.0.1:PORT
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/tango/device.h"

void Tango::DServer::class_factory()
{
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
                 "Without a database: vontrel-tango INSTANCE -nodb -dlist lab/vontrel/SERIAL\n"
                 "-ORBendPoint giop:tcp:127.0.0.1:PORT. See vontrel-tango(1) and tango.md\n"
                 "(/usr/share/doc/libvontrel-doc/, or docs/ in the source).\n";
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
        std::cout << "vontrel-tango " << VONTREL_VERSION << '\n';
        return 0;
    }
    if (argc < 2) {
        Usage();
        return 2;
    }
    if (const auto [host, where] = DatabaseSetting();
        !WithoutDatabase(argc, argv) && host.find(':') == std::string::npos) {
        std::cerr << "vontrel-tango: "
                  << (where.empty()
                          ? std::string("no Tango database is named")
                          : "TANGO_HOST is '" + host + "' in " + where + ", not HOST:PORT")
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
