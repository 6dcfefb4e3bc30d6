// SPDX-License-Identifier: MIT
// The VontrelMainsSwitch device: its switch, its outlets as attributes, and
// the poll that pushes their changes.
#include "tools/tango/mains_device.h"

#include "tools/tango/device.h"  // kSerialProperty: both device classes name their unit so
#include "tools/tango/device_monitor.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdlib>
#include <iostream>

namespace vontrel::tango {
namespace {

constexpr double kMinPollS = 0.05;
constexpr double kMaxPollS = 3600.0;

class OutletAttr : public Tango::Attr {
public:
    explicit OutletAttr(int outlet, const std::string &name)
        : Tango::Attr(name.c_str(), Tango::DEV_BOOLEAN, Tango::READ_WRITE), outlet_(outlet)
    {
        set_change_event(true, false);  // pushed by the device, unchecked
        Tango::UserDefaultAttrProp prop;
        const std::string text = fmt::format("outlet {} of the mains switch: true is on", outlet);
        prop.set_description(text.c_str());
        set_default_properties(prop);
    }

    void read(Tango::DeviceImpl *dev, Tango::Attribute &att) override
    {
        auto *device = static_cast<MainsSwitchDevice *>(dev);
        device->ReadOutlets();
        Tango::DevBoolean &value = device->Outlet(outlet_);
        att.set_value(&value);
        static_cast<Tango::WAttribute &>(att).set_write_value(value);
    }

    void write(Tango::DeviceImpl *dev, Tango::WAttribute &att) override
    {
        Tango::DevBoolean v = false;
        att.get_write_value(v);
        static_cast<MainsSwitchDevice *>(dev)->Write(outlet_, v);
    }

    bool is_allowed(Tango::DeviceImpl *, Tango::AttReqType) override { return true; }

private:
    int outlet_;
};

class SerialAttr : public Tango::Attr {
public:
    SerialAttr() : Tango::Attr("SerialNumber", Tango::DEV_STRING, Tango::READ) {}
    void read(Tango::DeviceImpl *dev, Tango::Attribute &att) override
    {
        att.set_value(&static_cast<MainsSwitchDevice *>(dev)->Serial());
    }
    bool is_allowed(Tango::DeviceImpl *, Tango::AttReqType) override { return true; }
};

[[noreturn]] void Fail(const char *reason, const std::string &text, const char *origin)
{
    Tango::Except::throw_exception(reason, text, origin);
}

}  // namespace

std::string OutletAttribute(int outlet)
{
    return fmt::format("Outlet{}", outlet);
}

MainsSwitchDevice::MainsSwitchDevice(Tango::DeviceClass *cl, const char *name)
    : Tango::Device_5Impl(cl, name)
{
    init_device();
}

MainsSwitchDevice::~MainsSwitchDevice()
{
    delete_device();
}

void MainsSwitchDevice::init_device()
{
    const std::string name = get_name();
    serial_.clear();
    if (Tango::Util::_UseDb) {
        Tango::DbData data{Tango::DbDatum(kSerialProperty)};
        get_db_device()->get_property(data);
        if (!data[0].is_empty()) {
            data[0] >> serial_;
        }
    }
    if (serial_.empty()) {
        serial_ = name.substr(name.rfind('/') + 1);
    }
    serial_p_ = serial_.data();
    if (const char *env = std::getenv(kMainsPollEnv); env != nullptr) {
        double s = 0;
        const std::string_view text(env);
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), s);
        if (ec == std::errc() && end == text.data() + text.size() && s >= kMinPollS &&
            s <= kMaxPollS) {
            poll_s_ = s;
        } else {
            std::cerr << name << ": " << kMainsPollEnv << " \"" << env << "\" is not " << kMinPollS
                      << " to " << kMaxPollS << " seconds; polling every " << kMainsPollDefaultS
                      << " s\n";
        }
    }
    switches_ = std::make_unique<service::MainsSwitches>(
        "", [name](const std::string &line) { std::cerr << name << ": " << line << '\n'; },
        std::vector<std::string>{serial_});
    try {
        ReadOutlets();
    } catch (const Tango::DevFailed &) {
        // The state says why; the poll and every read try again.
    }
    set_change_event("State", true, false);
    {
        const std::lock_guard<std::mutex> lock(poll_mutex_);
        poll_stop_ = false;
    }
    poll_thread_ = std::thread([this] { Poll(); });
}

void MainsSwitchDevice::delete_device()
{
    {
        const std::lock_guard<std::mutex> lock(poll_mutex_);
        poll_stop_ = true;
    }
    poll_wake_.notify_all();
    if (poll_thread_.joinable()) {
        poll_thread_.join();
    }
    switches_.reset();  // the switch closes; its outlets stay as they are
}

Tango::DevBoolean &MainsSwitchDevice::Outlet(int outlet)
{
    return outlets_[static_cast<std::size_t>(outlet - 1)];
}

void MainsSwitchDevice::ReadOutlets()
{
    try {
        const auto on = switches_->Outlets(serial_);
        const std::lock_guard<std::mutex> lock(mutex_);
        for (int n = 0; n < service::kMainsOutlets; ++n) {
            outlets_[n] = on[n];
        }
        why_.clear();
    } catch (const std::exception &e) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            why_ = e.what();
        }
        Fail("VONTREL_MainsFailed", fmt::format("mains switch {}: {}", serial_, e.what()),
             "VontrelMainsSwitch::read");
    }
}

void MainsSwitchDevice::Write(int outlet, bool on)
{
    const auto before = outlets_;
    try {
        switches_->Set({serial_, outlet}, on);
    } catch (const std::exception &e) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            why_ = e.what();
        }
        Fail("VONTREL_MainsFailed",
             fmt::format("mains switch {}: outlet {}: {}", serial_, outlet, e.what()),
             "VontrelMainsSwitch::write");
    }
    ReadOutlets();
    Push(before);
}

void MainsSwitchDevice::Push(const std::array<Tango::DevBoolean, service::kMainsOutlets> &before)
{
    for (int n = 1; n <= service::kMainsOutlets; ++n) {
        if (Outlet(n) != before[n - 1]) {
            push_change_event(OutletAttribute(n), &Outlet(n));
        }
    }
}

Tango::DevState MainsSwitchDevice::dev_state()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const Tango::DevState state = why_.empty() ? Tango::ON : Tango::FAULT;
    set_state(state);
    return state;
}

Tango::ConstDevString MainsSwitchDevice::dev_status()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    status_text_ = why_.empty() ? fmt::format("mains switch {} answers", serial_)
                                : fmt::format("mains switch {}: {}", serial_, why_);
    return status_text_.c_str();
}

void MainsSwitchDevice::Poll()
{
    omni_thread::ensure_self self;
    std::optional<Tango::DevState> last_state;
    std::unique_lock<std::mutex> lock(poll_mutex_);
    for (;;) {
        if (poll_wake_.wait_for(lock, std::chrono::duration<double>(poll_s_),
                                [&] { return poll_stop_; })) {
            return;
        }
        lock.unlock();
        try {
            const DeviceMonitor sync(get_dev_monitor());
            const auto before = outlets_;
            try {
                ReadOutlets();
                Push(before);
            } catch (const Tango::DevFailed &) {
                // The state below says it.
            }
            Tango::DevState state = dev_state();
            if (state != last_state) {
                push_change_event("State", &state);
                last_state = state;
            }
        } catch (const Tango::DevFailed &) {
            // The device was busy past the monitor's time-out.
        }
        lock.lock();
    }
}

// --- The class ---

MainsSwitchClass *MainsSwitchClass::instance_ = nullptr;

MainsSwitchClass::MainsSwitchClass(std::string &name) : Tango::DeviceClass(name) {}

MainsSwitchClass *MainsSwitchClass::init(const char *name)
{
    if (instance_ == nullptr) {
        std::string s(name);
        instance_ = new MainsSwitchClass(s);  // owned by Tango's DServer
    }
    return instance_;
}

void MainsSwitchClass::attribute_factory(std::vector<Tango::Attr *> &attrs)
{
    for (int n = 1; n <= service::kMainsOutlets; ++n) {
        attrs.push_back(new OutletAttr(n, OutletAttribute(n)));
    }
    attrs.push_back(new SerialAttr);
}

void MainsSwitchClass::device_factory(const Tango::DevVarStringArray *devlist)
{
    for (CORBA::ULong i = 0; i < devlist->length(); ++i) {
        auto *dev = new MainsSwitchDevice(this, (*devlist)[i]);
        device_list.push_back(dev);
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb) {
            export_device(dev);
        } else {
            export_device(dev, dev->get_name().c_str());
        }
    }
}

}  // namespace vontrel::tango
