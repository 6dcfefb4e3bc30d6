// SPDX-License-Identifier: MIT
// The IEEE 488.2 common commands.
#include "frontends/scpi/commands.h"

namespace vontrel::serve {

void Commands::AddCommon(TableBuilder &b)
{
    using vontrel::Settings;
    using vontrel::Status;
    b.add("*IDN", nullptr, [](Call &c) {
        c.Args(0, 0);
        const vontrel::Info info = c.OnUnit([](vontrel::Unit &u) { return u.info(); });
        c.response =
            fmt::format("{},{},{},{}", kMaker, kModel, info.serial, Printable(info.firmware));
    });
    b.add("*RST", Preset, nullptr);
    b.changes();
    b.add(
        "*CLS",
        [](Call &c) {
            c.Args(0, 0);
            c.in.status_.Clear();
            c.in.ques_event_ = 0;
        },
        nullptr);
    b.add(
        "*ESE",
        [](Call &c) {
            c.Args(1, 1);
            c.in.ese_ = static_cast<std::uint8_t>(CheckedInteger(c.Param(0), 0, 255, "*ESE"));
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.ese_);
        });
    b.add("*ESR", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = std::to_string(c.in.status_.TakeEsr());
    });
    b.add(
        "*SRE",
        [](Call &c) {
            c.Args(1, 1);
            c.in.sre_ = static_cast<std::uint8_t>(CheckedInteger(c.Param(0), 0, 255, "*SRE") &
                                                  ~kStbRequestService);
        },
        [](Call &c) {
            c.Args(0, 0);
            c.response = std::to_string(c.in.sre_);
        });
    b.add("*STB", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = std::to_string(c.in.StatusByte());
    });
    b.add(
        "*OPC",
        [](Call &c) {
            c.Args(0, 0);
            c.in.status_.ArmOperationComplete();
        },
        [](Call &c) {
            c.Args(0, 0);
            c.in.WaitForSweep(c);
            c.response = "1";
        });
    b.add(
        "*WAI",
        [](Call &c) {
            c.Args(0, 0);
            c.in.WaitForSweep(c);
        },
        nullptr);
    b.add("*TST", nullptr, [](Call &c) {
        c.Args(0, 0);
        try {
            c.OnUnit([](vontrel::Unit &u) { return u.locked(); });
            c.response = "0";
        } catch (const std::system_error &e) {
            c.in.status_.Push(scpi::kSelfTestFailed,
                              fmt::format("unit {}: {}", c.in.owner_.serial(), e.what()));
            c.response = "1";
        }
    });
    b.add("*OPT", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = "0";  // no options
    });
    b.add("*LRN", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = Learn(c.Read());
    });
    b.add(
        "*TRG",
        [](Call &c) {
            c.Args(0, 0);
            if (!c.in.sweep_.Trigger()) {
                throw Error(scpi::kTriggerIgnored,
                            "no sweep of this connection waits for a trigger");
            }
        },
        nullptr);
    b.add(
        "*SAV",
        [](Call &c) {
            PresetRegister(c);
            // Not during a sweep: it would keep one of the sweep's points.
            c.Changing().Call([](vontrel::Unit &u) { u.save_user_preset(); });
        },
        nullptr);
    b.changes();
    b.add(
        "*RCL",
        [](Call &c) {
            PresetRegister(c);
            c.Changing().Call([](vontrel::Unit &u) { u.preset(); });
        },
        nullptr);
    b.changes();
}

}  // namespace vontrel::serve
