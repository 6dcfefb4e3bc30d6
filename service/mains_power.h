// SPDX-License-Identifier: MIT
// Power to a unit through the mains switch outlet its units-file entry
// names: how the layers that switch a unit off and on (OUTPut OFF on a
// unit whose "output_off" is "mains", a power cycle) reach the mains
// switch without knowing how it is driven.
#ifndef VONTREL_SERVICE_MAINS_POWER_H
#define VONTREL_SERVICE_MAINS_POWER_H

#include "service/units_file.h"

namespace vontrel::service {

class MainsPower {
public:
    virtual ~MainsPower() = default;

    // Whether the outlet is on, as the switch reads its line. Throws
    // std::system_error (the D2XX status) when the switch cannot be read,
    // Refusal when there is no such switch or outlet.
    virtual bool IsOn(const PowerOutlet &outlet) = 0;

    // Switches the outlet on or off; throws as IsOn does.
    virtual void Set(const PowerOutlet &outlet, bool on) = 0;
};

}  // namespace vontrel::service

#endif
