// The nine D2XX calls over the kernel's tty interface.
//
// Handles are numbers handed out once each, never reused, so a handle kept
// after FT_Close is refused with FT_INVALID_HANDLE instead of reaching a
// port opened later. Calls on one handle run one at a time; a call on a
// handle that another thread closes meanwhile finishes on the port, which
// closes when that call returns.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "d2xx/ftd2xx.h"
#include "d2xx/serial/enumerate.h"
#include "d2xx/serial/errors.h"
#include "d2xx/serial/port.h"
#include "d2xx/serial/serial_d2xx.h"

namespace vserial {
namespace {

// The variable that chooses the latency asked of the driver at open.
constexpr const char *kLatencyVariable = "VONTREL_LATENCY";

struct OpenPort {
    std::mutex mutex;  // one call at a time on the port
    std::unique_ptr<Port> port;
};

struct Registry {
    std::mutex mutex;
    std::map<std::uintptr_t, std::shared_ptr<OpenPort>> open;
    std::uintptr_t next = 1;
    // The enumeration as FT_ListDevices last counted it: the by-index calls
    // and FT_Open use the same list, so that index i is the same port
    // throughout one walk.
    std::vector<PortInfo> ports;
    bool listed = false;
};

Registry &TheRegistry()
{
    static auto *registry = new Registry;  // outlives every call, even at exit
    return *registry;
}

FT_STATUS Refuse(FT_STATUS status, std::string message)
{
    SetLastMessage(std::move(message));
    return status;
}

// Lists the ports afresh, or only when they were never listed. The caller
// holds the registry's lock.
FT_STATUS List(Registry &r, bool afresh)
{
    if (r.listed && !afresh) {
        return FT_OK;
    }
    try {
        r.ports = ListPorts();
        r.listed = true;
        return FT_OK;
    } catch (const std::invalid_argument &e) {
        return Refuse(FT_INVALID_PARAMETER, e.what());
    } catch (const std::exception &e) {
        return Refuse(FT_OTHER_ERROR, e.what());
    }
}

std::shared_ptr<OpenPort> Find(FT_HANDLE handle)
{
    Registry &r = TheRegistry();
    const std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.open.find(reinterpret_cast<std::uintptr_t>(handle));
    return it != r.open.end() ? it->second : nullptr;
}

// Runs `call` on the handle's port, one call at a time.
template <typename Call>
FT_STATUS OnPort(const char *name, FT_HANDLE handle, Call &&call)
{
    const std::shared_ptr<OpenPort> open = Find(handle);
    if (open == nullptr) {
        return Refuse(FT_INVALID_HANDLE, std::string(name) + ": the handle is not open");
    }
    const std::lock_guard<std::mutex> lock(open->mutex);
    return call(*open->port);
}

FT_STATUS LatencyFromEnvironment(Latency *latency)
{
    const char *value = std::getenv(kLatencyVariable);  // NOLINT(concurrency-mt-unsafe)
    const std::string_view text = value != nullptr ? value : "";
    if (text.empty() || text == "low") {
        *latency = Latency::kLow;
    } else if (text == "default") {
        *latency = Latency::kDriverDefault;
    } else {
        return Refuse(FT_INVALID_PARAMETER, std::string(kLatencyVariable) + "='" +
                                                std::string(text) +
                                                "': expected 'low' (the default) or 'default'");
    }
    return FT_OK;
}

}  // namespace
}  // namespace vserial

using vserial::Port;
using vserial::Refuse;

extern "C" {

FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags)
{
    vserial::SetLastMessage({});
    vserial::Registry &r = vserial::TheRegistry();
    if (Flags == FT_LIST_NUMBER_ONLY) {
        if (pArg1 == nullptr) {
            return Refuse(FT_INVALID_PARAMETER, "FT_ListDevices: no place for the count");
        }
        const std::lock_guard<std::mutex> lock(r.mutex);
        const FT_STATUS status = vserial::List(r, true);
        if (status == FT_OK) {
            *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(r.ports.size());
        }
        return status;
    }
    const bool by_description = Flags == (FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    const bool by_serial = Flags == (FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
    if (!by_description && !by_serial) {
        return Refuse(FT_INVALID_PARAMETER,
                      "FT_ListDevices: flags " + std::to_string(Flags) + " are not supported");
    }
    if (pArg2 == nullptr) {
        return Refuse(FT_INVALID_PARAMETER, "FT_ListDevices: no buffer for the text");
    }
    const auto index = reinterpret_cast<std::uintptr_t>(pArg1);
    const std::lock_guard<std::mutex> lock(r.mutex);
    if (const FT_STATUS status = vserial::List(r, false); status != FT_OK) {
        return status;
    }
    if (index >= r.ports.size()) {
        return Refuse(FT_DEVICE_NOT_FOUND, "FT_ListDevices: no port at index " +
                                               std::to_string(index) + " (there are " +
                                               std::to_string(r.ports.size()) + ")");
    }
    const vserial::PortInfo &port = r.ports[index];
    const std::string text = vserial::FitListText(by_serial ? port.serial : port.description);
    std::memcpy(pArg2, text.c_str(), text.size() + 1);
    return FT_OK;
}

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    vserial::SetLastMessage({});
    if (pHandle == nullptr) {
        return Refuse(FT_INVALID_PARAMETER, "FT_Open: no place for the handle");
    }
    vserial::Latency latency = vserial::Latency::kLow;
    if (const FT_STATUS status = vserial::LatencyFromEnvironment(&latency); status != FT_OK) {
        return status;
    }
    vserial::Registry &r = vserial::TheRegistry();
    std::string path;
    {
        const std::lock_guard<std::mutex> lock(r.mutex);
        if (const FT_STATUS status = vserial::List(r, false); status != FT_OK) {
            return status;
        }
        if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= r.ports.size()) {
            return Refuse(FT_DEVICE_NOT_FOUND, "FT_Open: no port at index " +
                                                   std::to_string(deviceNumber) + " (there are " +
                                                   std::to_string(r.ports.size()) + ")");
        }
        path = r.ports[static_cast<std::size_t>(deviceNumber)].path;
    }
    FT_STATUS status = FT_OK;
    auto open = std::make_shared<vserial::OpenPort>();
    open->port = Port::Open(path, latency, &status);
    if (open->port == nullptr) {
        return status;
    }
    const std::lock_guard<std::mutex> lock(r.mutex);
    const std::uintptr_t handle = r.next++;
    r.open.emplace(handle, std::move(open));
    *pHandle = reinterpret_cast<FT_HANDLE>(handle);
    return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    vserial::SetLastMessage({});
    std::shared_ptr<vserial::OpenPort> closing;
    vserial::Registry &r = vserial::TheRegistry();
    {
        const std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.open.find(reinterpret_cast<std::uintptr_t>(ftHandle));
        if (it == r.open.end()) {
            return Refuse(FT_INVALID_HANDLE, "FT_Close: the handle is not open");
        }
        closing = std::move(it->second);
        r.open.erase(it);
    }
    return FT_OK;  // the port closes here, or when a call still on it returns
}

FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle)
{
    vserial::SetLastMessage({});
    return vserial::OnPort("FT_ResetDevice", ftHandle, [](Port &p) { return p.Purge(); });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
{
    vserial::SetLastMessage({});
    return vserial::OnPort("FT_SetTimeouts", ftHandle,
                           [&](Port &p) { return p.SetTimeouts(ReadTimeout, WriteTimeout); });
}

FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate)
{
    vserial::SetLastMessage({});
    return vserial::OnPort("FT_SetBaudRate", ftHandle,
                           [&](Port &p) { return p.SetBaudRate(BaudRate); });
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits,
                                    UCHAR Parity)
{
    vserial::SetLastMessage({});
    return vserial::OnPort("FT_SetDataCharacteristics", ftHandle, [&](Port &p) {
        return p.SetDataCharacteristics(WordLength, StopBits, Parity);
    });
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten)
{
    vserial::SetLastMessage({});
    return vserial::OnPort("FT_Write", ftHandle, [&](Port &p) {
        if (lpBytesWritten == nullptr || (lpBuffer == nullptr && dwBytesToWrite > 0)) {
            return Refuse(FT_INVALID_PARAMETER, "FT_Write: no buffer or no place for the count");
        }
        return p.Write(static_cast<const std::uint8_t *>(lpBuffer), dwBytesToWrite, lpBytesWritten);
    });
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned)
{
    vserial::SetLastMessage({});
    return vserial::OnPort("FT_Read", ftHandle, [&](Port &p) {
        if (lpBytesReturned == nullptr || (lpBuffer == nullptr && dwBytesToRead > 0)) {
            return Refuse(FT_INVALID_PARAMETER, "FT_Read: no buffer or no place for the count");
        }
        return p.Read(static_cast<std::uint8_t *>(lpBuffer), dwBytesToRead, lpBytesReturned);
    });
}

const char *vontrel_serial_last_error(void)
{
    return vserial::LastMessage();
}

}  // extern "C"
