// Vontrel_Preset and Vontrel_SaveUserPreset: one command frame each.
#include "include/vontrel.h"
#include "link/handle_table.h"
#include "link/transact.h"

namespace vontrel {
namespace {

// Unlike Transact, the response is read even when the write failed, so
// *status ends as the status of the read.
void SendPresetCommand(unsigned long *status, void *handle, std::uint8_t code)
{
    if (status == nullptr) {
        return;
    }
    GuardedVoid(status, [&] {
        const auto unit = ResolveUnit(status, handle);
        if (!unit) {
            return;
        }
        Frame command = CommandFrame(code);
        Frame response{};
        DWORD count = 0;
        *status = FT_Write(*unit, command.data(), static_cast<DWORD>(command.size()), &count);
        *status = FT_Read(*unit, response.data(), static_cast<DWORD>(response.size()), &count);
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
