// SPDX-License-Identifier: MIT
// VONTrel: the unit's own settings, lock and identity.
#include "frontends/scpi/commands.h"

namespace vontrel::serve {

void Commands::AddVontrel(TableBuilder &b)
{
    using vontrel::Settings;
    using vontrel::Status;
    b.table.push_back(Setting(
        "VONTrel:MODE", VONTREL_MODE_MAX, false,
        [](Settings &s, int v) { s.mode = static_cast<vontrel::Mode>(v); },
        [](const Status &s) { return static_cast<int>(s.mode); }));
    b.table.push_back(Setting(
        "VONTrel:SWITch", VONTREL_SWITCH_MAX, false,
        [](Settings &s, int v) { s.output_switch = static_cast<vontrel::Switch>(v); },
        [](const Status &s) { return static_cast<int>(s.output_switch); }));
    b.table.push_back(Flag("VONTrel:FLAG:A", &Settings::flag_a));
    b.table.push_back(Flag("VONTrel:FLAG:B", &Settings::flag_b));
    b.table.push_back(Flag("VONTrel:FLAG:C", &Settings::flag_c));
    b.table.push_back(Byte("VONTrel:TRIM:A", &Settings::trim_a, true));
    b.table.push_back(Byte("VONTrel:TRIM:B", &Settings::trim_b, true));
    b.table.push_back(Flag("VONTrel:TRIM:AUTO", &Settings::auto_trim));
    b.table.push_back(Byte("VONTrel:STORed", &Settings::stored_setting, false));
    b.add("VONTrel:LOCK", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = c.in.SampleQuestionable(c) == 0 ? "1" : "0";
    });
    b.add("VONTrel:INFO", nullptr, [](Call &c) {
        c.Args(0, 0);
        const vontrel::Info info = c.OnUnit([](vontrel::Unit &u) { return u.info(); });
        c.response =
            fmt::format(R"("{}","{}","{}")", Printable(std::string(1, info.hardware_revision)),
                        Printable(info.calibration_date), Printable(info.if_band));
    });
}

}  // namespace vontrel::serve
