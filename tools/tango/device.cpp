// SPDX-License-Identifier: MIT
// The VontrelSynthesizer device: its unit, its state and status, and the
// changes it makes.
#include "tools/tango/device.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "include/vontrel_status.h"
#include "service/errors.h"
#include "service/level_policy.h"

namespace vontrel::tango {
namespace {

// The one list sweep a device runs is known to its unit by this id.
constexpr vontrel::service::ConnectionId kSweepId = 1;

}  // namespace

std::optional<int> SerialFromName(const std::string &device_name)
{
    const std::string last = device_name.substr(device_name.rfind('/') + 1);
    int serial = 0;
    const auto [end, ec] = std::from_chars(last.data(), last.data() + last.size(), serial);
    if (last.empty() || ec != std::errc() || end != last.data() + last.size() || serial < 0 ||
        serial > 65535) {
        return std::nullopt;
    }
    return serial;
}

double ParseLockPoll(const std::string &text)
{
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() ||
        !(seconds == 0 || (seconds >= kLockPollMinS && seconds <= VONTREL_TIMEOUT_MAX_S))) {
        throw std::invalid_argument(fmt::format("{} \"{}\" is not 0 (no poll) or {} to {} seconds",
                                                kLockPollProperty, text, kLockPollMinS,
                                                VONTREL_TIMEOUT_MAX_S));
    }
    return seconds;
}

void Values::Set(const vontrel::Status &s)
{
    frequency_hz = s.frequency_mhz * kHzPerMHz;
    level = s.level;
    level_min = s.level_min;
    level_max = s.level_max;
    attenuation = s.attenuation;
    mode = static_cast<Tango::DevShort>(s.mode);
    output_switch = static_cast<Tango::DevShort>(s.output_switch);
    flag_a = s.flag_a;
    flag_b = s.flag_b;
    flag_c = s.flag_c;
    auto_trim = s.auto_trim;
    trim_a = s.trim_a;
    trim_b = s.trim_b;
    stored_setting = s.stored_setting;
}

void Values::Set(const vontrel::Info &info)
{
    serial = info.serial;
    firmware = info.firmware;
    hardware = std::string(1, info.hardware_revision);
    calibration_date = info.calibration_date;
    if_band = info.if_band;
    firmware_p = firmware.data();
    hardware_p = hardware.data();
    calibration_date_p = calibration_date.data();
    if_band_p = if_band.data();
}

Synthesizer::Synthesizer(Tango::DeviceClass *cl, const char *name) : Tango::Device_5Impl(cl, name)
{
    init_device();
}

Synthesizer::~Synthesizer()
{
    delete_device();
}

void Synthesizer::init_device()
{
    const std::string name = get_name();
    std::optional<int> serial;
    std::string poll_text;
    if (Tango::Util::_UseDb) {
        Tango::DbData data{Tango::DbDatum(kSerialProperty), Tango::DbDatum(kLockPollProperty)};
        get_db_device()->get_property(data);
        if (!data[0].is_empty()) {
            Tango::DevLong value = -1;
            data[0] >> value;
            if (value >= 0 && value <= 65535) {
                serial = static_cast<int>(value);
            }
        }
        if (!data[1].is_empty()) {
            data[1] >> poll_text;
        }
    }
    if (!serial) {
        serial = SerialFromName(name);
    }
    if (const char *env = std::getenv(kLockPollEnv); poll_text.empty() && env != nullptr) {
        poll_text = env;
    }
    try {
        lock_poll_s_ = poll_text.empty() ? kLockPollDefaultS : ParseLockPoll(poll_text);
    } catch (const std::invalid_argument &e) {
        lock_poll_s_ = kLockPollDefaultS;
        std::cerr << name << ": " << e.what() << "; polling every " << kLockPollDefaultS << " s\n";
    }
    if (!serial) {
        SetHealth(Health::kFault,
                  fmt::format("no {} property, and the device name does not end in a serial "
                              "number: no unit to drive",
                              kSerialProperty));
        return;
    }
    owner_ = std::make_unique<vontrel::service::UnitOwner>(
        *serial, make_status_code(VONTREL_FT_DEVICE_NOT_FOUND),
        [name](const std::string &line) { std::cerr << name << ": " << line << '\n'; });
    SetHealth(Health::kFault, "not opened yet");
    try {
        ReadIdentity();
        ReadLocked();
    } catch (const Tango::DevFailed &) {
        // The state says why; the lock poll and every request try again.
    }
    // The lock poll pushes the state's changes itself.
    set_change_event("State", true, false);
    StartLockPoll();
}

void Synthesizer::delete_device()
{
    StopLockPoll();
    sweep_.Abort();
    owner_.reset();
    identity_read_ = false;
}

Tango::DevState Synthesizer::StateNow()
{
    const std::lock_guard<std::mutex> lock(health_mutex_);
    return health_ == Health::kOn      ? Tango::ON
           : health_ == Health::kAlarm ? Tango::ALARM
                                       : Tango::FAULT;
}

Tango::DevState Synthesizer::dev_state()
{
    const Tango::DevState state = StateNow();
    set_state(state);
    return state;
}

Tango::ConstDevString Synthesizer::dev_status()
{
    const int serial = owner_ ? owner_->serial() : -1;
    {
        const std::lock_guard<std::mutex> lock(health_mutex_);
        status_text_ = health_ == Health::kOn      ? fmt::format("unit {} is locked", serial)
                       : health_ == Health::kAlarm ? fmt::format(
                                                         "unit {} answers but reports "
                                                         "no lock",
                                                         serial)
                       : owner_ ? fmt::format("unit {}: {}", serial, why_)
                                : why_;
    }
    if (sweep_.Running()) {
        status_text_ += "; a list sweep runs";
    }
    return status_text_.c_str();
}

void Synthesizer::SetHealth(Health h, const std::string &why)
{
    const std::lock_guard<std::mutex> lock(health_mutex_);
    health_ = h;
    why_ = why;
}

void Synthesizer::Refuse(const char *reason, const std::string &text, const char *origin)
{
    Tango::Except::throw_exception(reason, text, origin);
}

template <typename F>
void Synthesizer::Exchange(const char *origin, bool is_change, F &&f)
{
    if (!owner_) {
        const std::lock_guard<std::mutex> lock(health_mutex_);
        Refuse("VONTREL_NoUnit", why_, origin);
    }
    try {
        vontrel::service::UnitOwner::Access access(*owner_);
        if (is_change && access.sweeper() != vontrel::service::kNoSweep) {
            Refuse("VONTREL_SweepRunning",
                   "a list sweep runs on the unit: changes are refused until it ends or is "
                   "aborted",
                   origin);
        }
        access.Call(f);
    } catch (const vontrel::service::Refusal &e) {
        Refuse("VONTREL_Refused", e.what(), origin);
    } catch (const std::system_error &e) {
        SetHealth(Health::kFault, e.what());
        Refuse("VONTREL_ExchangeFailed", fmt::format("unit {}: {}", owner_->serial(), e.what()),
               origin);
    } catch (const std::invalid_argument &e) {
        Refuse("VONTREL_Refused", e.what(), origin);
    }
    bool was_fault = false;
    {
        const std::lock_guard<std::mutex> lock(health_mutex_);
        was_fault = health_ == Health::kFault;
    }
    if (was_fault) {
        WakeLockPoll(false);  // the unit answers again: its lock tells the state
    }
}

void Synthesizer::ReadSettings()
{
    vontrel::Status s;
    Exchange("VontrelSynthesizer::read", false, [&](vontrel::Unit &unit) { s = unit.status(); });
    values_.Set(s);
}

void Synthesizer::ReadLocked()
{
    bool locked = false;
    Exchange("VontrelSynthesizer::read", false,
             [&](vontrel::Unit &unit) { locked = unit.locked(); });
    values_.locked = locked;
    SetHealth(locked ? Health::kOn : Health::kAlarm, "");
}

void Synthesizer::ReadIdentity()
{
    if (identity_read_) {
        return;
    }
    vontrel::Info info;
    Exchange("VontrelSynthesizer::read", false, [&](vontrel::Unit &unit) { info = unit.info(); });
    values_.Set(info);
    identity_read_ = true;
}

void Synthesizer::read_attr_hardware(std::vector<long> &attr_list)
{
    bool settings = false, locked = false, identity = false;
    for (const long index : attr_list) {
        const std::string &name = dev_attr->get_attr_by_ind(index).get_name();
        if (name == attr::kLocked) {
            locked = true;
        } else if (name == attr::kSerialNumber || name == attr::kFirmwareRevision ||
                   name == attr::kHardwareRevision || name == attr::kCalibrationDate ||
                   name == attr::kIFBand) {
            identity = true;
        } else if (name != "State" && name != "Status") {
            settings = true;
        }
    }
    if (identity) {
        ReadIdentity();
    }
    if (settings) {
        ReadSettings();
    }
    if (locked) {
        ReadLocked();
    }
}

void Synthesizer::Change(const vontrel::service::Change &change)
{
    vontrel::Status after;
    Exchange("VontrelSynthesizer::write", true, [&](vontrel::Unit &unit) {
        const vontrel::Status before = unit.status();
        vontrel::service::ApplyWithLevelPolicy(unit, before,
                                               vontrel::service::Merge(before, change));
        // What the unit holds now, not what was asked: the attributes and
        // their events never show a value the unit does not hold.
        after = unit.status();
    });
    values_.Set(after);
    PushSettings();
    WakeLockPoll(false);  // a new frequency may change lock detect
}

void Synthesizer::Preset(bool save)
{
    vontrel::Status after;
    Exchange(save ? "VontrelSynthesizer::SaveUserPreset" : "VontrelSynthesizer::Preset", true,
             [&](vontrel::Unit &unit) {
                 if (save) {
                     unit.save_user_preset();
                 } else {
                     unit.preset();
                 }
                 after = unit.status();
             });
    values_.Set(after);
    PushSettings();
    WakeLockPoll(false);
}

void Synthesizer::StartSweep(std::vector<double> frequencies_mhz, double dwell_s)
{
    constexpr const char *origin = "VontrelSynthesizer::ListSweep";
    try {
        if (frequencies_mhz.empty() || frequencies_mhz.size() > VONTREL_SWEEP_POINTS_MAX) {
            throw std::invalid_argument(
                fmt::format("a list sweep takes 1 to {} frequencies after the dwell",
                            VONTREL_SWEEP_POINTS_MAX));
        }
        vontrel::check_seconds(dwell_s, "dwell", VONTREL_DWELL_MAX_S);
        for (const double mhz : frequencies_mhz) {
            vontrel::check_frequency(mhz);
        }
    } catch (const std::invalid_argument &e) {
        Refuse("VONTREL_Refused", e.what(), origin);
    }
    if (!owner_) {
        Exchange(origin, true, [](vontrel::Unit &) {});  // throws why there is no unit
    }
    {
        vontrel::service::UnitOwner::Access access(*owner_);
        if (access.sweeper() != vontrel::service::kNoSweep) {
            Refuse("VONTREL_SweepRunning", "a list sweep runs already: Abort it first", origin);
        }
        access.set_sweeper(kSweepId);
    }
    vontrel::service::SweepPlan plan;
    plan.frequencies_mhz = std::move(frequencies_mhz);
    plan.dwells_s = {dwell_s};
    sweep_.Start(
        *owner_, kSweepId, std::move(plan), false,
        [this](vontrel::service::Reason reason, const std::string &detail) {
            std::cerr << get_name() << ": the list sweep stopped: " << detail << '\n';
            if (reason == vontrel::service::Reason::kUnitFailed) {
                SetHealth(Health::kFault, detail);
            }
        },
        // Runs on the sweep's thread, which must not wait for the device:
        // the lock poll reads the settings the sweep left and pushes them.
        [this] { WakeLockPoll(true); });
}

void Synthesizer::AbortSweep()
{
    sweep_.Abort();
}

void Synthesizer::PushSettings()
{
    push_change_event(attr::kFrequency, &values_.frequency_hz);
    push_change_event(attr::kLevel, &values_.level);
    push_change_event(attr::kLevelMin, &values_.level_min);
    push_change_event(attr::kLevelMax, &values_.level_max);
    push_change_event(attr::kAttenuation, &values_.attenuation);
    push_change_event(attr::kMode, &values_.mode);
    push_change_event(attr::kSwitch, &values_.output_switch);
    push_change_event(attr::kFlagA, &values_.flag_a);
    push_change_event(attr::kFlagB, &values_.flag_b);
    push_change_event(attr::kFlagC, &values_.flag_c);
    push_change_event(attr::kTrimA, &values_.trim_a);
    push_change_event(attr::kTrimB, &values_.trim_b);
    push_change_event(attr::kAutoTrim, &values_.auto_trim);
    push_change_event(attr::kStoredSetting, &values_.stored_setting);
}

void Synthesizer::PushLocked()
{
    push_change_event(attr::kLocked, &values_.locked);
}

// --- The class ---

SynthesizerClass *SynthesizerClass::instance_ = nullptr;

SynthesizerClass::SynthesizerClass(std::string &name) : Tango::DeviceClass(name) {}

SynthesizerClass *SynthesizerClass::init(const char *name)
{
    if (instance_ == nullptr) {
        std::string s(name);
        instance_ = new SynthesizerClass(s);  // owned by Tango's DServer
    }
    return instance_;
}

void SynthesizerClass::command_factory()
{
    for (Tango::Command *c : MakeCommands()) {
        command_list.push_back(c);
    }
}

void SynthesizerClass::attribute_factory(std::vector<Tango::Attr *> &attrs)
{
    AddAttributes(attrs);
}

void SynthesizerClass::device_factory(const Tango::DevVarStringArray *devlist)
{
    for (CORBA::ULong i = 0; i < devlist->length(); ++i) {
        auto *dev = new Synthesizer(this, (*devlist)[i]);
        device_list.push_back(dev);
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb) {
            export_device(dev);
        } else {
            export_device(dev, dev->get_name().c_str());
        }
    }
}

}  // namespace vontrel::tango
