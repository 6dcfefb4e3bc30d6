#include "link/transact.h"

namespace vontrel {

Frame CommandFrame(std::uint8_t code, std::uint8_t p0, std::uint8_t p1, std::uint8_t p2,
                   std::uint8_t p3)
{
    return Frame{0x00, kFrameStart, code, p0, p1, p2, p3, kFrameEnd};
}

Outcome Transact(unsigned long *status, FT_HANDLE handle, const Frame &command, Frame &response,
                 Response use)
{
    Frame out = command;  // FT_Write takes a non-const buffer
    DWORD written = 0;
    const FT_STATUS wrote = FT_Write(handle, out.data(), static_cast<DWORD>(out.size()), &written);
    Record(status, wrote);
    if (wrote != FT_OK) {
        return Outcome::kWriteFailed;
    }
    DWORD received = 0;
    FT_STATUS read =
        FT_Read(handle, response.data(), static_cast<DWORD>(response.size()), &received);
    if (read == FT_OK && use == Response::kUsed && received < response.size()) {
        read = FT_IO_ERROR;
    }
    Record(status, read);
    return read == FT_OK ? Outcome::kOk : Outcome::kReadFailed;
}

int ReadMemoryByte(unsigned long *status, FT_HANDLE handle, std::uint32_t address)
{
    const Frame command = CommandFrame(cmd::kReadMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8));
    Frame response{};
    if (Transact(status, handle, command, response, Response::kUsed) != Outcome::kOk) {
        return 0;
    }
    return response[5];
}

void WriteMemoryByte(unsigned long *status, FT_HANDLE handle, std::uint32_t address,
                     std::uint8_t value)
{
    const Frame command = CommandFrame(cmd::kWriteMemory, static_cast<std::uint8_t>(address),
                                       static_cast<std::uint8_t>(address >> 8), value);
    Frame response{};
    Transact(status, handle, command, response, Response::kDiscarded);
}

int ReadRegister(unsigned long *status, FT_HANDLE handle, int index, Frame &response)
{
    const std::uint8_t code = index == 0 ? cmd::kReadRegister0 : cmd::kReadRegister;
    const Frame command = CommandFrame(code, static_cast<std::uint8_t>(index));
    Frame reply{};  // a failed or short read must not reach the caller's buffer
    switch (Transact(status, handle, command, reply, Response::kUsed)) {
        case Outcome::kOk:
            response = reply;
            return 0;
        case Outcome::kWriteFailed:
            return -1;
        case Outcome::kReadFailed:
            break;
    }
    return -2;
}

void WriteRegister(unsigned long *status, FT_HANDLE handle, int index,
                   const RegisterWordBytes &word)
{
    const std::uint8_t code = index == 0 ? cmd::kWriteRegister0 : static_cast<std::uint8_t>(index);
    const Frame command = CommandFrame(code, word[0], word[1], word[2], word[3]);
    Frame response{};
    Transact(status, handle, command, response, Response::kDiscarded);
}

}  // namespace vontrel
