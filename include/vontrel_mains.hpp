// SPDX-License-Identifier: MIT
/*
 * libvontrel-mains for C++: a typed, header-only layer over vontrel_mains.h.
 *
 *     vontrel::mains::Switch sw = vontrel::mains::open();   // the one switch
 *     sw.set(3, false);                                    // outlet 3 off
 *     std::bitset<8> on = sw.outlets();                    // on[2] is outlet 3
 *                                                          // closes here
 *
 * ERRORS
 *   Every call checks the function's result and the D2XX status it leaves,
 *   and throws std::system_error whose code() belongs to
 *   vontrel::status_category() (the same as libvontrel's: value() is the
 *   D2XX status, message() reads "FT_DEVICE_NOT_FOUND: ..."). An outlet
 *   that is not 1 to 8 throws std::invalid_argument before anything is sent.
 *
 * THREADS
 *   A Switch may be used from several threads: the library serialises the
 *   calls on one switch.
 */
#ifndef VONTREL_MAINS_HPP
#define VONTREL_MAINS_HPP

#include <bitset>
#include <string>
#include <utility>
#include <vector>

#include "vontrel.hpp"
#include "vontrel_mains.h"

namespace vontrel::mains {

/// Outlets are numbered from 1 to kOutlets.
inline constexpr int kOutlets = VONTREL_MAINS_OUTLETS;

/// What list() finds of one switch.
struct SwitchInfo {
    int index = 0;            ///< its converter's enumeration index
    std::string description;  ///< the converter's description
    std::string serial;       ///< the converter's serial string
};

namespace detail {

inline const char *DescriptionOrDefault(const std::string &description)
{
    return description.empty() ? nullptr : description.c_str();
}

inline void check_outlet(int outlet)
{
    if (outlet < 1 || outlet > kOutlets) {
        throw std::invalid_argument("outlet " + std::to_string(outlet) + " is not 1 to " +
                                    std::to_string(kOutlets));
    }
}

}  // namespace detail

/// The switches attached whose description begins with `description`
/// ("" for VONTREL_MAINS_DEFAULT_DESCRIPTION), in enumeration order.
inline std::vector<SwitchInfo> list(const std::string &description = {})
{
    std::vector<VontrelMainsSwitch> found(4);
    for (;;) {
        unsigned long status = 0;
        int count = 0;
        const int r = VontrelMains_List(&status, detail::DescriptionOrDefault(description),
                                        found.data(), static_cast<int>(found.size()), &count);
        vontrel::detail::check(r, status, "VontrelMains_List");
        if (static_cast<std::size_t>(count) <= found.size()) {
            std::vector<SwitchInfo> out;
            for (int i = 0; i < count; ++i) {
                out.push_back({found[i].index, found[i].description, found[i].serial});
            }
            return out;
        }
        found.resize(static_cast<std::size_t>(count));  // more came than there was room for
    }
}

/// An open mains switch. Move-only; closes its handle when destroyed.
class Switch {
public:
    Switch() = default;
    explicit Switch(int handle) noexcept : handle_(handle) {}
    ~Switch() { reset(); }
    Switch(Switch &&other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
    Switch &operator=(Switch &&other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, 0);
        }
        return *this;
    }
    Switch(const Switch &) = delete;
    Switch &operator=(const Switch &) = delete;

    bool is_open() const noexcept { return handle_ != 0; }
    int handle() const noexcept { return handle_; }

    /// Switches `outlet` (1 to 8) on or off.
    void set(int outlet, bool on) const
    {
        detail::check_outlet(outlet);
        unsigned long status = 0;
        vontrel::detail::check(VontrelMains_SetOutlet(&status, handle_, outlet, on ? 1 : 0), status,
                               "VontrelMains_SetOutlet");
    }

    /// Whether `outlet` (1 to 8) is on.
    bool get(int outlet) const
    {
        detail::check_outlet(outlet);
        unsigned long status = 0;
        int on = 0;
        vontrel::detail::check(VontrelMains_GetOutlet(&status, handle_, outlet, &on), status,
                               "VontrelMains_GetOutlet");
        return on != 0;
    }

    /// All eight outlets: bit n-1 is outlet n.
    std::bitset<kOutlets> outlets() const
    {
        unsigned long status = 0;
        unsigned char lines = 0;
        vontrel::detail::check(VontrelMains_GetOutlets(&status, handle_, &lines), status,
                               "VontrelMains_GetOutlets");
        return {lines};
    }

    /// Closes the switch now; throws when FT_Close fails (the handle is
    /// released all the same).
    void close()
    {
        const int status = VontrelMains_Close(std::exchange(handle_, 0));
        if (status != 0) {
            vontrel::detail::raise(static_cast<unsigned long>(status), "VontrelMains_Close");
        }
    }

private:
    void reset() noexcept
    {
        if (handle_ != 0) {
            VontrelMains_Close(std::exchange(handle_, 0));
        }
    }
    int handle_ = 0;
};

/// Opens the first switch whose description begins with `description`
/// ("" for the default) and, when `serial` is given, whose serial string
/// it is. Throws std::system_error: FT_DEVICE_NOT_FOUND when there is
/// none, FT_DEVICE_NOT_OPENED when another program has it.
inline Switch open(const std::string &description = {}, const std::string &serial = {})
{
    unsigned long status = 0;
    int handle = 0;
    const int r = VontrelMains_Open(&status, detail::DescriptionOrDefault(description),
                                    serial.c_str(), &handle);
    vontrel::detail::check(r, status, "VontrelMains_Open");
    return Switch(handle);
}

}  // namespace vontrel::mains

#endif
