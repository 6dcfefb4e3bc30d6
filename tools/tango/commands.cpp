// SPDX-License-Identifier: MIT
// The device's commands: Preset, SaveUserPreset, ListSweep and Abort.
#include <fmt/format.h>

#include "tools/tango/device.h"

namespace vontrel::tango {
namespace {

// A command without argument or answer that runs one of the device's calls.
class Plain : public Tango::Command {
public:
    Plain(const char *name, void (*run)(Synthesizer &))
        : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID), run_(run)
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *dev, const CORBA::Any &) override
    {
        run_(*static_cast<Synthesizer *>(dev));
        return insert();
    }

private:
    void (*run_)(Synthesizer &);
};

// ListSweep [dwell_s, f1_Hz, f2_Hz, ...]: each frequency in turn, dwell_s
// seconds on each, timed by the server.
class ListSweepCommand : public Tango::Command {
public:
    ListSweepCommand()
        : Tango::Command("ListSweep", Tango::DEVVAR_DOUBLEARRAY, Tango::DEV_VOID,
                         "[dwell in seconds, then each frequency in Hz]", "")
    {
    }
    CORBA::Any *execute(Tango::DeviceImpl *dev, const CORBA::Any &in) override
    {
        const Tango::DevVarDoubleArray *args = nullptr;
        extract(in, args);
        if (args->length() < 2) {
            Tango::Except::throw_exception(
                "VONTREL_Refused",
                "ListSweep takes the dwell in seconds, then one frequency in Hz or more",
                "VontrelSynthesizer::ListSweep");
        }
        std::vector<double> mhz;
        mhz.reserve(args->length() - 1);
        for (CORBA::ULong i = 1; i < args->length(); ++i) {
            mhz.push_back((*args)[i] / kHzPerMHz);
        }
        static_cast<Synthesizer *>(dev)->StartSweep(std::move(mhz), (*args)[0]);
        return insert();
    }
};

}  // namespace

std::vector<Tango::Command *> MakeCommands()
{
    return {
        new Plain("Preset", [](Synthesizer &d) { d.Preset(false); }),
        new Plain("SaveUserPreset", [](Synthesizer &d) { d.Preset(true); }),
        new ListSweepCommand(),
        new Plain("Abort", [](Synthesizer &d) { d.AbortSweep(); }),
    };
}

}  // namespace vontrel::tango
