// SPDX-License-Identifier: MIT
// vontrel-tango: every unit as a device of class VontrelSynthesizer.
//
// One device drives one unit, found by its serial number. Every exchange
// goes through the unit's UnitOwner (one exchange sequence at a time, the
// unit opened again by serial number after a failure); changes are merged
// onto the state read back and programmed under the level policy, as the
// vontrel tool and its SCPI server do. The device pushes change events
// itself: after every change it makes, and whenever the lock detect that
// its lock poll reads changes.
#ifndef VONTREL_TOOLS_TANGO_DEVICE_H
#define VONTREL_TOOLS_TANGO_DEVICE_H

#include <tango.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "include/vontrel.hpp"
#include "service/list_sweep.h"
#include "service/settings_change.h"
#include "service/unit_owner.h"

namespace vontrel::tango {

// The class name clients and the database know the devices by.
inline constexpr const char *kClassName = "VontrelSynthesizer";

// Tango speaks of frequencies in Hz, the library in MHz.
inline constexpr double kHzPerMHz = 1e6;

// Device properties.
inline constexpr const char *kSerialProperty = "SerialNumber";
inline constexpr const char *kLockPollProperty = "LockPollPeriod";  // seconds
inline constexpr double kLockPollDefaultS = 1.0;
inline constexpr double kLockPollMinS = 0.05;
// Where a server run without a database takes the lock poll's period from.
inline constexpr const char *kLockPollEnv = "VONTREL_TANGO_LOCK_POLL_S";

// The attributes' names, each written once.
namespace attr {
inline constexpr const char *kFrequency = "Frequency", *kLevel = "Level", *kLevelMin = "LevelMin",
                            *kLevelMax = "LevelMax", *kAttenuation = "Attenuation", *kMode = "Mode",
                            *kSwitch = "Switch", *kFlagA = "FlagA", *kFlagB = "FlagB",
                            *kFlagC = "FlagC", *kTrimA = "TrimA", *kTrimB = "TrimB",
                            *kAutoTrim = "AutoTrim", *kStoredSetting = "StoredSetting",
                            *kLocked = "Locked", *kSerialNumber = "SerialNumber",
                            *kFirmwareRevision = "FirmwareRevision",
                            *kHardwareRevision = "HardwareRevision",
                            *kCalibrationDate = "CalibrationDate", *kIFBand = "IFBand";
}  // namespace attr

// The serial number a device drives: its SerialNumber property, else the
// last member of its name when that is a number (lab/vontrel/4660); empty
// when neither gives one.
std::optional<int> SerialFromName(const std::string &device_name);

// The lock poll's period in seconds from the property's or the
// environment's text; std::invalid_argument for anything that is not 0
// (no poll) or kLockPollMinS to VONTREL_TIMEOUT_MAX_S.
double ParseLockPoll(const std::string &text);

// What a read of the unit's settings gives each attribute, kept in the
// device because Tango copies an attribute's value after read() returns.
struct Values {
    Tango::DevDouble frequency_hz = 0, level = 0, level_min = 0, level_max = 0, attenuation = 0;
    Tango::DevShort mode = 0, output_switch = 0;
    Tango::DevBoolean flag_a = false, flag_b = false, flag_c = false, auto_trim = false;
    Tango::DevUChar trim_a = 0, trim_b = 0, stored_setting = 0;
    Tango::DevBoolean locked = false;
    Tango::DevLong serial = 0;
    std::string firmware, hardware, calibration_date, if_band;
    Tango::DevString firmware_p = nullptr, hardware_p = nullptr, calibration_date_p = nullptr,
                     if_band_p = nullptr;
    void Set(const vontrel::Status &s);
    void Set(const vontrel::Info &info);
};

class Synthesizer : public Tango::Device_5Impl {
public:
    Synthesizer(Tango::DeviceClass *cl, const char *name);
    ~Synthesizer() override;

    void init_device() override;
    void delete_device() override;
    void read_attr_hardware(std::vector<long> &attr_list) override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;

    Values &values() { return values_; }

    // Reads the settings (13 exchanges) into values(); Tango exception on
    // failure.
    void ReadSettings();
    // Reads lock detect (1 exchange) into values().
    void ReadLocked();
    // Reads the identity block once (10 exchanges); kept afterwards.
    void ReadIdentity();

    // Merges `change` onto the state read back and programs it under the
    // level policy, then pushes a change event for every attribute.
    void Change(const vontrel::service::Change &change);
    // Preset or SaveUserPreset, refused while a list sweep runs.
    void Preset(bool save);
    // A list sweep of `frequencies_mhz` at `dwell_s` on each point.
    void StartSweep(std::vector<double> frequencies_mhz, double dwell_s);
    void AbortSweep();

private:
    enum class Health { kOn, kAlarm, kFault };

    // Runs f(vontrel::Unit &) under the unit's lock: a failed exchange
    // turns the state to FAULT and throws a Tango exception naming the call
    // and its status; a refused value throws one naming the reason.
    template <typename F>
    void Exchange(const char *origin, bool is_change, F &&f);

    void SetHealth(Health h, const std::string &why);
    Tango::DevState StateNow();
    void PushSettings();
    void PushLocked();
    [[noreturn]] void Refuse(const char *reason, const std::string &text, const char *origin);

    // The lock poll's thread (lock_poll.cpp).
    void StartLockPoll();
    void StopLockPoll();
    void LockPoll();
    void WakeLockPoll(bool refresh_settings);

    std::unique_ptr<vontrel::service::UnitOwner> owner_;
    vontrel::service::ListSweep sweep_;
    Values values_;
    bool identity_read_ = false;
    double lock_poll_s_ = kLockPollDefaultS;

    std::mutex health_mutex_;
    Health health_ = Health::kFault;
    std::string why_;
    std::string status_text_;  // what dev_status() last returned

    std::mutex poll_mutex_;
    std::condition_variable poll_wake_;
    bool poll_stop_ = false;
    bool poll_now_ = false;
    bool refresh_settings_ = false;
    std::optional<bool> last_locked_;            // poll thread only
    std::optional<Tango::DevState> last_state_;  // poll thread only
    std::thread poll_thread_;
};

class SynthesizerClass : public Tango::DeviceClass {
public:
    static SynthesizerClass *init(const char *name);
    static SynthesizerClass *instance() { return instance_; }

protected:
    explicit SynthesizerClass(std::string &name);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr *> &attrs) override;
    void device_factory(const Tango::DevVarStringArray *devlist) override;

private:
    static SynthesizerClass *instance_;
};

// The attribute and command factories (attributes.cpp, commands.cpp).
void AddAttributes(std::vector<Tango::Attr *> &attrs);
std::vector<Tango::Command *> MakeCommands();

}  // namespace vontrel::tango

#endif
