// SPDX-License-Identifier: MIT
// The device's attributes: each reads its value from what the device last
// read of the unit, and each writable one makes one settings change. The
// ranges Tango checks before a write reaches the device come from
// vontrel_limits.h.
#include <fmt/format.h>

#include <type_traits>

#include "include/vontrel_limits.h"
#include "tools/tango/device.h"

namespace vontrel::tango {
namespace {

// Puts a written value into a settings change.
template <typename T>
using Put = void (*)(vontrel::service::Change &, T);

template <typename T>
class Attribute : public Tango::Attr {
public:
    Attribute(const char *name, long type, T Values::*value, Put<T> put = nullptr)
        : Tango::Attr(name, type, put ? Tango::READ_WRITE : Tango::READ), value_(value), put_(put)
    {
        // Pushed by the device itself, with no check that the value changed.
        set_change_event(true, false);
    }

    void read(Tango::DeviceImpl *dev, Tango::Attribute &att) override
    {
        T &value = static_cast<Synthesizer *>(dev)->values().*value_;
        att.set_value(&value);
        if constexpr (std::is_same_v<T, Tango::DevDouble> || std::is_same_v<T, Tango::DevShort> ||
                      std::is_same_v<T, Tango::DevBoolean> || std::is_same_v<T, Tango::DevUChar>) {
            if (put_ != nullptr) {
                // The set point follows the unit too, when another client,
                // a preset or a list sweep changed it.
                static_cast<Tango::WAttribute &>(att).set_write_value(value);
            }
        }
    }

    void write(Tango::DeviceImpl *dev, Tango::WAttribute &att) override
    {
        T v{};
        att.get_write_value(v);
        vontrel::service::Change change;
        put_(change, v);
        static_cast<Synthesizer *>(dev)->Change(change);
    }

    bool is_allowed(Tango::DeviceImpl *, Tango::AttReqType) override { return true; }

    // The attribute's unit, and its range as attribute properties.
    Attribute *Describe(const char *unit, std::optional<double> min = {},
                        std::optional<double> max = {})
    {
        Tango::UserDefaultAttrProp prop;
        if (*unit != '\0') {
            prop.set_unit(unit);
        }
        const std::string min_text = min ? fmt::format("{}", *min) : "";
        const std::string max_text = max ? fmt::format("{}", *max) : "";
        if (min) {
            prop.set_min_value(min_text.c_str());
        }
        if (max) {
            prop.set_max_value(max_text.c_str());
        }
        set_default_properties(prop);
        return this;
    }

private:
    T Values::*value_;
    Put<T> put_;
};

// Identity strings: the value is a pointer into the device's Values.
using Text = Attribute<Tango::DevString>;

}  // namespace

void AddAttributes(std::vector<Tango::Attr *> &attrs)
{
    using vontrel::service::Change;
    using D = Attribute<Tango::DevDouble>;
    using S = Attribute<Tango::DevShort>;
    using B = Attribute<Tango::DevBoolean>;
    using U = Attribute<Tango::DevUChar>;
    attrs.push_back(
        (new D(attr::kFrequency, Tango::DEV_DOUBLE, &Values::frequency_hz,
               [](Change &c, double hz) { c.frequency_mhz = hz / kHzPerMHz; }))
            ->Describe("Hz", VONTREL_FREQ_MIN_MHZ * kHzPerMHz, VONTREL_FREQ_MAX_MHZ * kHzPerMHz));
    // The calibrated range at the frequency is narrower; the level policy
    // refuses what lies outside it.
    attrs.push_back(
        (new D(attr::kLevel, Tango::DEV_DOUBLE, &Values::level, [](Change &c, double v) {
            c.level = v;
        }))->Describe("", VONTREL_LEVEL_MIN, VONTREL_LEVEL_MAX));
    attrs.push_back(new D(attr::kLevelMin, Tango::DEV_DOUBLE, &Values::level_min));
    attrs.push_back(new D(attr::kLevelMax, Tango::DEV_DOUBLE, &Values::level_max));
    attrs.push_back((new D(attr::kAttenuation, Tango::DEV_DOUBLE, &Values::attenuation,
                           [](Change &c, double v) { c.attenuation = v; }))
                        ->Describe("", 0.0, VONTREL_ATTEN_MAX));
    attrs.push_back((new S(attr::kMode, Tango::DEV_SHORT, &Values::mode, [](Change &c, short v) {
                        c.mode = v;
                    }))->Describe("", 0, VONTREL_MODE_MAX));
    attrs.push_back(
        (new S(attr::kSwitch, Tango::DEV_SHORT, &Values::output_switch, [](Change &c, short v) {
            c.output_switch = v;
        }))->Describe("", 0, VONTREL_SWITCH_MAX));
    attrs.push_back(new B(attr::kFlagA, Tango::DEV_BOOLEAN, &Values::flag_a,
                          [](Change &c, bool v) { c.flag_a = v; }));
    attrs.push_back(new B(attr::kFlagB, Tango::DEV_BOOLEAN, &Values::flag_b,
                          [](Change &c, bool v) { c.flag_b = v; }));
    attrs.push_back(new B(attr::kFlagC, Tango::DEV_BOOLEAN, &Values::flag_c,
                          [](Change &c, bool v) { c.flag_c = v; }));
    attrs.push_back(new U(attr::kTrimA, Tango::DEV_UCHAR, &Values::trim_a,
                          [](Change &c, unsigned char v) { c.trim_a = v; }));
    attrs.push_back(new U(attr::kTrimB, Tango::DEV_UCHAR, &Values::trim_b,
                          [](Change &c, unsigned char v) { c.trim_b = v; }));
    attrs.push_back(new B(attr::kAutoTrim, Tango::DEV_BOOLEAN, &Values::auto_trim,
                          [](Change &c, bool v) { c.auto_trim = v; }));
    attrs.push_back(new U(attr::kStoredSetting, Tango::DEV_UCHAR, &Values::stored_setting,
                          [](Change &c, unsigned char v) { c.stored_setting = v; }));
    attrs.push_back(new B(attr::kLocked, Tango::DEV_BOOLEAN, &Values::locked));
    attrs.push_back(
        new Attribute<Tango::DevLong>(attr::kSerialNumber, Tango::DEV_LONG, &Values::serial));
    attrs.push_back(new Text(attr::kFirmwareRevision, Tango::DEV_STRING, &Values::firmware_p));
    attrs.push_back(new Text(attr::kHardwareRevision, Tango::DEV_STRING, &Values::hardware_p));
    attrs.push_back(
        new Text(attr::kCalibrationDate, Tango::DEV_STRING, &Values::calibration_date_p));
    attrs.push_back(new Text(attr::kIFBand, Tango::DEV_STRING, &Values::if_band_p));
}

}  // namespace vontrel::tango
