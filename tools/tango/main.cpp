// SPDX-License-Identifier: MIT
// vontrel-tango: the Tango device server of class VontrelSynthesizer.
//   vontrel-tango INSTANCE                 devices from the Tango database
//   vontrel-tango INSTANCE -nodb -dlist lab/vontrel/4660
//                 -ORBendPoint giop:tcp:127.0.0.1:PORT
#include <cstring>
#include <iostream>

#include "tools/tango/device.h"
#include "tools/tango/mains_device.h"

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
                 "its outlets the attributes Outlet1 to Outlet8. Without a database, give each\n"
                 "class its devices: -dlist VontrelSynthesizer::lab/vontrel/4660 ... (see\n"
                 "docs/tango.md and docs/mains.md).\n"
                 "See docs/tango.md.\n";
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
