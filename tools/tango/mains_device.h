// SPDX-License-Identifier: MIT
// vontrel-tango: a mains switch as a device of class VontrelMainsSwitch.
//
// One device drives one switch, found by its serial string (device
// property SerialNumber; without a database, the last member of the device
// name: lab/mains/MS0001) among the converters whose description is a
// mains switch's ($VONTREL_MAINS_DESCRIPTION, else "Mains Switch"). Its
// eight outlets are the boolean attributes Outlet1 to Outlet8. The device
// holds its switch open (one process at a time has a switch) and pushes
// change events itself: after every write, and whenever its poll reads a
// change (of an outlet, or of the state: ON while the switch answers,
// FAULT when it does not).
#ifndef VONTREL_TOOLS_TANGO_MAINS_DEVICE_H
#define VONTREL_TOOLS_TANGO_MAINS_DEVICE_H

#include <tango.h>

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/mains_switches.h"

namespace vontrel::tango {

inline constexpr const char *kMainsClassName = "VontrelMainsSwitch";

// How often the switch is read for changes; without a database,
// VONTREL_TANGO_MAINS_POLL_S gives it.
inline constexpr double kMainsPollDefaultS = 1.0;
inline constexpr const char *kMainsPollEnv = "VONTREL_TANGO_MAINS_POLL_S";

// "Outlet1" .. "Outlet8".
std::string OutletAttribute(int outlet);

class MainsSwitchDevice : public Tango::Device_5Impl {
public:
    MainsSwitchDevice(Tango::DeviceClass *cl, const char *name);
    ~MainsSwitchDevice() override;

    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;

    // What the attributes read: the outlets as last read, refreshed first.
    Tango::DevBoolean &Outlet(int outlet);
    Tango::DevString &Serial() { return serial_p_; }
    void ReadOutlets();
    // Switches an outlet, reads the switch back and pushes the outlets
    // that changed.
    void Write(int outlet, bool on);

private:
    void Poll();
    void Push(const std::array<Tango::DevBoolean, service::kMainsOutlets> &before);

    std::string serial_;
    Tango::DevString serial_p_ = nullptr;
    std::unique_ptr<service::MainsSwitches> switches_;
    std::array<Tango::DevBoolean, service::kMainsOutlets> outlets_{};
    std::mutex mutex_;  // outlets_, why_
    std::string why_;   // why the switch cannot be read; "" while it can
    std::string status_text_;

    double poll_s_ = kMainsPollDefaultS;
    std::mutex poll_mutex_;
    std::condition_variable poll_wake_;
    bool poll_stop_ = false;
    std::thread poll_thread_;
};

class MainsSwitchClass : public Tango::DeviceClass {
public:
    static MainsSwitchClass *init(const char *name);

protected:
    explicit MainsSwitchClass(std::string &name);
    void command_factory() override {}  // no commands: the outlets are attributes
    void attribute_factory(std::vector<Tango::Attr *> &attrs) override;
    void device_factory(const Tango::DevVarStringArray *devlist) override;

private:
    static MainsSwitchClass *instance_;
};

}  // namespace vontrel::tango

#endif
