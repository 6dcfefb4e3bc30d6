// SPDX-License-Identifier: MIT
// Vontrel_Preset and Vontrel_SaveUserPreset: one command frame each.
#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Unlike Transact, the reply is read even when the write failed (it is
// discarded either way). Both results are recorded, so *status keeps the
// write's failure; a reply that does not come whole is FT_IO_ERROR.
void SendPresetCommand(unsigned long *status, void *handle, std::uint8_t code)
{
    RunOnUnit(status, handle, true, 0, [&](Link &unit) {
        Frame response{};
        Exchange(status, unit, CommandFrame(code), response, true);
        return 0;
    });
}

}  // namespace
}  // namespace vontrel

extern "C" void Vontrel_Preset(unsigned long *status, void *handle)
{
    vontrel::SendPresetCommand(status, handle, vontrel::cmd::kPreset);
}

extern "C" void Vontrel_SaveUserPreset(unsigned long *status, void *handle)
{
    vontrel::SendPresetCommand(status, handle, vontrel::cmd::kSaveUserPreset);
}
