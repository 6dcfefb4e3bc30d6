// Vontrel_Preset and Vontrel_SaveUserPreset: one command frame each.
#include "include/vontrel.h"
#include "link/export_entry.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Unlike Transact, the response is read even when the write failed. Both
// results are recorded, so *status keeps the write's failure.
void SendPresetCommand(unsigned long *status, void *handle, std::uint8_t code)
{
    RunOnUnit(status, handle, true, 0, [&](FT_HANDLE unit) {
        Frame command = CommandFrame(code);
        Frame response{};
        DWORD count = 0;
        Record(status, FT_Write(unit, command.data(), static_cast<DWORD>(command.size()), &count));
        Record(status, FT_Read(unit, response.data(), static_cast<DWORD>(response.size()), &count));
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
