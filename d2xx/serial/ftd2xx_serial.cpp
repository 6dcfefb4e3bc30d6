// SPDX-License-Identifier: MIT
// The D2XX calls over the kernel's tty interface, and for a mains switch
// (a converter whose description is a mains switch's) its bit-bang calls
// through libftdi instead (bitbang.h).
//
// Handles are numbers handed out once each, never reused, so a handle kept
// after FT_Close is refused with FT_INVALID_HANDLE instead of reaching a
// port opened later. Calls on one handle run one at a time; a call on a
// handle that another thread closes meanwhile finishes on the port, which
// closes when that call returns. Each thread's walk (count, list by index,
// open by index) sees the one list its count took; listing never holds a
// lock that a call on an open handle needs.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "d2xx/ftd2xx.h"
#include "d2xx/serial/bitbang.h"
#include "d2xx/serial/enumerate.h"
#include "d2xx/serial/errors.h"
#include "d2xx/serial/port.h"
#include "d2xx/serial/serial_d2xx.h"
#include "include/vontrel_mains.h"

namespace vserial {
namespace {

// The variable that chooses the latency asked of the driver at open.
constexpr const char *kLatencyVariable = "VONTREL_LATENCY";

struct OpenPort {
    std::mutex mutex;                      // one call at a time on the port
    std::unique_ptr<Port> port;            // a tty
    std::unique_ptr<BitBangPort> bitbang;  // or a mains switch
};

// The open handles. Its lock is held only to look a handle up, add or
// remove one: never while the ports are listed or a port is opened.
struct Registry {
    std::mutex mutex;
    std::map<std::uintptr_t, std::shared_ptr<OpenPort>> open;
    std::uintptr_t next = 1;
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

using PortList = std::vector<PortInfo>;

// The list this thread's walk uses: FT_ListDevices(FT_LIST_NUMBER_ONLY)
// takes it afresh, and the by-index listing and FT_Open index it until this
// thread counts again, so index i is the same port throughout one walk
// whatever is plugged meanwhile or whatever other threads list. A thread
// that never counted gets one listing, kept the same way.
thread_local std::shared_ptr<const PortList> walk_list;

// Why this thread's FT_Opens failed since its last count: the messages of
// the first few, and how many more there were.
constexpr std::size_t kOpenFailuresKept = 3;
struct OpenFailures {
    std::vector<std::string> kept;
    std::size_t more = 0;
    std::string text;  // what vontrel_serial_open_failures hands out

    void Clear() { *this = {}; }
    void Add(const std::string &message)
    {
        if (kept.size() < kOpenFailuresKept) {
            kept.push_back(message);
        } else {
            ++more;
        }
        text.clear();
        for (const std::string &m : kept) {
            text += (text.empty() ? "" : "; ") + m;
        }
        if (more > 0) {
            text += "; and " + std::to_string(more) + " more port" + (more == 1 ? "" : "s") +
                    " that did not open";
        }
    }
};
thread_local OpenFailures open_failures;

// Lists the ports into this thread's walk list, afresh or only when this
// thread has none. Holds no lock: a listing (which reads sysfs, and may
// take a while during a hot-plug) never delays a call on an open handle.
FT_STATUS List(bool afresh)
{
    if (walk_list != nullptr && !afresh) {
        return FT_OK;
    }
    try {
        walk_list = std::make_shared<const PortList>(ListPorts());
        return FT_OK;
    } catch (const std::invalid_argument &e) {
        walk_list.reset();  // no walk goes on over a list older than the count
        return Refuse(FT_INVALID_PARAMETER, e.what());
    } catch (const std::exception &e) {
        walk_list.reset();
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

// Runs `call` on the handle's port, one call at a time. A mains switch
// has no serial line to take it.
template <typename Call>
FT_STATUS OnPort(const char *name, FT_HANDLE handle, Call &&call)
{
    const std::shared_ptr<OpenPort> open = Find(handle);
    if (open == nullptr) {
        return Refuse(FT_INVALID_HANDLE, std::string(name) + ": the handle is not open");
    }
    const std::lock_guard<std::mutex> lock(open->mutex);
    if (open->port == nullptr) {
        return Refuse(FT_NOT_SUPPORTED, std::string(name) +
                                            ": the converter is a mains switch, driven in "
                                            "bit-bang mode; it has no serial line");
    }
    return call(*open->port);
}

// Runs `call` on the handle's mains switch, one call at a time. A port
// opened as a tty is not one.
template <typename Call>
FT_STATUS OnSwitch(const char *name, FT_HANDLE handle, Call &&call)
{
    const std::shared_ptr<OpenPort> open = Find(handle);
    if (open == nullptr) {
        return Refuse(FT_INVALID_HANDLE, std::string(name) + ": the handle is not open");
    }
    const std::lock_guard<std::mutex> lock(open->mutex);
    if (open->bitbang == nullptr) {
        return Refuse(FT_NOT_SUPPORTED,
                      std::string(name) +
                          ": the port was opened through its tty, which cannot bit-bang; a "
                          "mains switch is a converter whose description begins with \"" +
                          MainsDescription() + "\" (" + VONTREL_MAINS_DESCRIPTION_VARIABLE +
                          " names another)");
    }
    return call(*open->bitbang);
}

// Opens the mains switch at bus path `location` through libftdi.
std::unique_ptr<BitBangPort> OpenSwitch(const PortInfo &info, FT_STATUS *status)
{
    const FtdiApi *api = LibFtdi();
    const std::string name =
        "the mains switch \"" + info.description + "\" at USB " + info.location;
    if (api == nullptr) {
        *status = Refuse(FT_NOT_SUPPORTED, name + ": " + BitBangSupport());
        return nullptr;
    }
    const std::optional<UsbAddress> where = UsbAddressOf("/sys", info.location);
    if (!where) {
        *status = Refuse(FT_DEVICE_NOT_FOUND, name + ": it has left the USB bus");
        return nullptr;
    }
    return BitBangPort::Open(*api, *where, name, status);
}

// Whether the handle is an open mains switch.
bool IsSwitch(FT_HANDLE handle)
{
    const std::shared_ptr<OpenPort> open = Find(handle);
    return open != nullptr && open->bitbang != nullptr;
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
    if (Flags == FT_LIST_NUMBER_ONLY) {
        if (pArg1 == nullptr) {
            return Refuse(FT_INVALID_PARAMETER, "FT_ListDevices: no place for the count");
        }
        vserial::open_failures.Clear();
        const FT_STATUS status = vserial::List(true);
        if (status == FT_OK) {
            *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(vserial::walk_list->size());
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
    if (const FT_STATUS status = vserial::List(false); status != FT_OK) {
        return status;
    }
    const vserial::PortList &ports = *vserial::walk_list;
    if (index >= ports.size()) {
        return Refuse(FT_DEVICE_NOT_FOUND, "FT_ListDevices: no port at index " +
                                               std::to_string(index) + " (there are " +
                                               std::to_string(ports.size()) + ")");
    }
    const vserial::PortInfo &port = ports[index];
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
    if (const FT_STATUS status = vserial::List(false); status != FT_OK) {
        return status;
    }
    const vserial::PortList &ports = *vserial::walk_list;
    if (deviceNumber < 0 || static_cast<std::size_t>(deviceNumber) >= ports.size()) {
        return Refuse(FT_DEVICE_NOT_FOUND, "FT_Open: no port at index " +
                                               std::to_string(deviceNumber) + " (there are " +
                                               std::to_string(ports.size()) + ")");
    }
    const vserial::PortInfo info = ports[static_cast<std::size_t>(deviceNumber)];
    FT_STATUS status = FT_OK;
    auto open = std::make_shared<vserial::OpenPort>();
    if (info.mains) {
        open->bitbang = vserial::OpenSwitch(info, &status);
    } else {
        open->port = Port::Open(info.path, latency, &status);
    }
    if (open->port == nullptr && open->bitbang == nullptr) {
        vserial::open_failures.Add(vserial::LastMessage());
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
    if (vserial::IsSwitch(ftHandle)) {
        return vserial::OnSwitch("FT_SetTimeouts", ftHandle, [&](vserial::BitBangPort &p) {
            return p.SetTimeouts(ReadTimeout, WriteTimeout);
        });
    }
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
    if (vserial::IsSwitch(ftHandle)) {
        return vserial::OnSwitch("FT_Write", ftHandle, [&](vserial::BitBangPort &p) {
            if (lpBytesWritten == nullptr || (lpBuffer == nullptr && dwBytesToWrite > 0)) {
                return Refuse(FT_INVALID_PARAMETER,
                              "FT_Write: no buffer or no place for the count");
            }
            return p.Write(static_cast<const std::uint8_t *>(lpBuffer), dwBytesToWrite,
                           lpBytesWritten);
        });
    }
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

FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
{
    vserial::SetLastMessage({});
    return vserial::OnSwitch("FT_SetBitMode", ftHandle, [&](vserial::BitBangPort &p) {
        return p.SetBitMode(ucMask, ucEnable);
    });
}

FT_STATUS FT_GetBitMode(FT_HANDLE ftHandle, UCHAR *pucMode)
{
    vserial::SetLastMessage({});
    return vserial::OnSwitch("FT_GetBitMode", ftHandle,
                             [&](vserial::BitBangPort &p) { return p.GetBitMode(pucMode); });
}

const char *vontrel_serial_bitbang_support(void)
{
    return vserial::BitBangSupport();
}

const char *vontrel_serial_last_error(void)
{
    return vserial::LastMessage();
}

const char *vontrel_serial_open_failures(void)
{
    return vserial::open_failures.text.c_str();
}

}  // extern "C"
