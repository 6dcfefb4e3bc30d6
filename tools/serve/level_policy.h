// Programming a served unit under the level policy of vontrel_limits.h:
// in mode 3 a level outside the calibrated range at the frequency is
// refused with -222, and nothing is left changed.
#ifndef VONTREL_TOOLS_SERVE_LEVEL_POLICY_H
#define VONTREL_TOOLS_SERVE_LEVEL_POLICY_H

#include "include/vontrel.hpp"

namespace vontrel::serve {

// Programs `wanted`. In mode 3, where the level sets the attenuation: when
// `known` is the unit's status at wanted's frequency, a level outside its
// range is refused before anything is sent; otherwise the range is read
// back after programming and, when the level lies outside it, `restore` is
// programmed again. Either refusal throws scpi::Error -222; a failed
// exchange throws std::system_error.
void ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status *known,
                          const vontrel::Settings &wanted, const vontrel::Settings &restore);

}  // namespace vontrel::serve

#endif
