// SPDX-License-Identifier: MIT
// Vontrel_Open: find every attached unit among the converters, open and
// configure it, and read its serial number.
#include <algorithm>
#include <array>
#include <cstdint>

#include "include/vontrel.h"
#include "link/guarded.h"
#include "link/handle_table.h"
#include "link/open_converter.h"
#include "link/transact.h"
#include "protocol/unit_protocol.h"

namespace vontrel {
namespace {

// Only the first character of the expected description takes part in the
// match: a converter whose description begins with it is taken for a unit.
constexpr char kExpectedDescription[] = "Vontrel";
constexpr std::size_t kDescriptionSize = 64;

struct OpenedUnit {
    int index;
    int serial;
    int token;
};

// A unit just opened: its serial number, and whether its replies carry
// their commands back.
struct Identified {
    int serial;
    bool echoes;
};

// Reads the serial number of a unit just opened, or nullopt when a read
// failed or the replies show the link is not in step. The converter was
// just reset, but the unit may still owe a reply to a command sent before
// this open (by a program that gave up on it at a time-out, or before the
// unit was last closed): it would come first, be read as the serial number,
// and leave every reply after it one frame late for as long as the unit
// stays open. So the unit is trusted only on evidence, with the checks a
// purged link gets (see link/link.h):
//   - both replies carry their own command back (code 0x0D and the
//     address): the unit echoes, and every later reply is checked so;
//   - neither carries either command back: a unit that does not echo, and
//     both replies are checked to have nothing behind them within kQuietMs;
//   - anything else (one reply echoes, or the second carries the first
//     command): a reply owed to another command was taken, FT_IO_ERROR.
std::optional<Identified> ReadSerialNumber(unsigned long *status, FT_HANDLE handle)
{
    LinkBooks books;
    Link link(handle, books);
    const Frame low_command = CommandFrame(cmd::kReadMemory, mem::kSerialLow);
    const Frame high_command = CommandFrame(cmd::kReadMemory, mem::kSerialHigh);
    Frame low{};
    if (Transact(status, link, low_command, low) != Outcome::kOk) {
        return std::nullopt;
    }
    const bool low_echoes = EchoesCommand(low_command, low);
    if (!low_echoes) {
        // Either a unit that does not echo or a late reply: checked by time.
        link.set_step(LinkStep::kConfirmTwice);
        if (!ConfirmInStep(status, link)) {
            return std::nullopt;
        }
    }
    Frame high{};
    if (Transact(status, link, high_command, high) != Outcome::kOk) {
        return std::nullopt;
    }
    const bool high_echoes = EchoesCommand(high_command, high);
    const bool consistent =
        low_echoes ? high_echoes : !high_echoes && !EchoesCommand(low_command, high);
    if (!consistent) {
        Record(status, FT_IO_ERROR);
        return std::nullopt;
    }
    return Identified{mem::SerialNumber(low[reply::kMemoryByte], high[reply::kMemoryByte]),
                      low_echoes};
}

// Whether converter `index` describes itself as a unit.
bool LooksLikeUnit(unsigned long *status, int index)
{
    char description[kDescriptionSize] = {};
    *status = FT_ListDevices(reinterpret_cast<void *>(static_cast<std::uintptr_t>(index)),
                             description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    return *status == FT_OK && description[0] == kExpectedDescription[0];
}

int OpenUnits(unsigned long *status, int *devicesFound, int *handles, int *serialNumbers)
{
    int count = 0;  // the D2XX writes the number of converters here
    *status = FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    if (count < 1) {
        return -1;
    }
    if (*status != FT_OK) {
        return -2;
    }
    // The caller's arrays are indexed by enumeration index and have no size
    // of their own: indices at or beyond the documented maximum are not
    // walked, so arrays of that many entries are always enough.
    const int walked = std::min(count, VONTREL_MAX_CONVERTERS);

    // Each step's status is stored as it comes, so *status ends as the last
    // call's; a failed step abandons its index and the walk goes on.
    // What this call opened, kept until the walk ends (on the stack: the
    // walk is bounded by the same maximum).
    HandleTable &table = HandleTable::Instance();
    std::array<OpenedUnit, VONTREL_MAX_CONVERTERS> opened_units;
    std::size_t opened = 0;
    try {
        int matched = 0;
        for (int i = 0; i < walked; ++i) {
            if (!LooksLikeUnit(status, i)) {
                continue;
            }
            ++matched;  // counted before any attempt to open it
            const auto handle = OpenConverter(status, i);
            if (!handle) {
                continue;
            }
            const auto unit = ReadSerialNumber(status, *handle);
            if (!unit) {
                AbandonConverter(*handle);  // the caller never learns its handle
                continue;
            }
            try {
                opened_units[opened] = {i, unit->serial, table.Add(*handle, unit->echoes)};
                ++opened;
            } catch (...) {
                AbandonConverter(*handle);
                throw;
            }
        }
        // Results go out at the converter's enumeration index, serial number
        // first; entries of other converters keep what the caller left there.
        for (std::size_t u = 0; u < opened; ++u) {
            serialNumbers[opened_units[u].index] = opened_units[u].serial;
            handles[opened_units[u].index] = opened_units[u].token;
        }
        *devicesFound = matched;
        return 0;
    } catch (...) {
        // The caller learns nothing of this call, so nothing it opened may
        // stay open.
        for (std::size_t u = 0; u < opened; ++u) {
            if (const auto handle = table.Remove(opened_units[u].token)) {
                AbandonConverter(*handle);
            }
        }
        throw;
    }
}

}  // namespace
}  // namespace vontrel

extern "C" int Vontrel_Open(unsigned long *status, int *devicesFound, int *handles,
                            int *serialNumbers)
{
    if (status == nullptr) {
        return -1;
    }
    if (devicesFound == nullptr || handles == nullptr || serialNumbers == nullptr) {
        *status = FT_INVALID_PARAMETER;
        return -1;
    }
    return vontrel::Guarded(status, -1, [&] {
        return vontrel::OpenUnits(status, devicesFound, handles, serialNumbers);
    });
}
