// SPDX-License-Identifier: MIT
// SYSTem and STATus: errors, the unit's lock across front ends, the status registers.
#include "frontends/scpi/commands.h"

namespace vontrel::serve {

void Commands::AddSystem(TableBuilder &b)
{
    using vontrel::Settings;
    using vontrel::Status;
    b.add("SYSTem:ERRor[:NEXT]", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = c.in.status_.Next();
    });
    b.add("SYSTem:ERRor:ALL", nullptr, [](Call &c) {
        c.Args(0, 0);
        std::string all = c.in.status_.Next();
        for (std::size_t n = c.in.status_.Count(); n > 0; --n) {
            all += "," + c.in.status_.Next();
        }
        c.response = all;
    });
    b.add("SYSTem:ERRor:COUNt", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = std::to_string(c.in.status_.Count());
    });
    b.add("SYSTem:VERSion", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = "1999.0";
    });
    b.add("SYSTem:PRESet", Preset, nullptr);
    b.changes();
    // The unit's lock, shared with every other front end (VXI-11's
    // device_lock takes the same one).
    b.add("SYSTem:LOCK:REQuest", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = c.in.owner_.session_lock().TryLock(c.in.id_, c.in.who_) ? "1" : "0";
    });
    b.add(
        "SYSTem:LOCK:RELease",
        [](Call &c) {
            c.Args(0, 0);
            c.in.owner_.session_lock().Unlock(c.in.id_);  // nothing to do when not held
        },
        nullptr);
    b.add("SYSTem:LOCK:OWNer", nullptr, [](Call &c) {
        c.Args(0, 0);
        const std::string holder = c.in.owner_.session_lock().Holder();
        c.response = fmt::format(R"("{}")", holder.empty() ? "NONE" : Printable(holder));
    });
    b.add("STATus:QUEStionable[:EVENt]", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.in.SampleQuestionable(c);
        c.response = std::to_string(std::exchange(c.in.ques_event_, 0));
    });
    b.add("STATus:QUEStionable:CONDition", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = std::to_string(c.in.SampleQuestionable(c));
    });
    b.table.push_back(
        Register("STATus:QUEStionable:ENABle", kScpiRegisterMask, &Instrument::ques_enable_));
    b.add("STATus:OPERation[:EVENt]", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.in.SampleOperation();
        c.response = std::to_string(std::exchange(c.in.oper_event_, 0));
    });
    b.add("STATus:OPERation:CONDition", nullptr, [](Call &c) {
        c.Args(0, 0);
        c.response = std::to_string(c.in.SampleOperation());
    });
    b.table.push_back(
        Register("STATus:OPERation:ENABle", kScpiRegisterMask, &Instrument::oper_enable_));
    b.add(
        "STATus:PRESet",
        [](Call &c) {
            c.Args(0, 0);
            c.in.ques_enable_ = 0;
            c.in.oper_enable_ = 0;
        },
        nullptr);
}

}  // namespace vontrel::serve
