// The level policy, applied to every change the server makes.
#include "tools/serve/level_policy.h"

#include <fmt/format.h>

#include "tools/serve/scpi_error.h"

namespace vontrel::serve {
namespace {

bool InRange(double level, const vontrel::Status &at)
{
    return level >= at.level_min && level <= at.level_max;
}

std::string OutOfRange(const vontrel::Settings &wanted, const vontrel::Status &at)
{
    return fmt::format("level {} is outside the unit's calibrated range at {} MHz, {} to {}",
                       wanted.level, at.frequency_mhz, at.level_min, at.level_max);
}

}  // namespace

void ApplyWithLevelPolicy(vontrel::Unit &unit, const vontrel::Status *known,
                          const vontrel::Settings &wanted, const vontrel::Settings &restore)
{
    const bool level_mode = wanted.mode == vontrel::Mode::kMode3;
    const bool range_known = known != nullptr && known->frequency_mhz == wanted.frequency_mhz;
    if (level_mode && range_known && !InRange(wanted.level, *known)) {
        throw scpi::Error(scpi::kDataOutOfRange, OutOfRange(wanted, *known));
    }
    unit.apply(wanted);
    if (!level_mode || range_known) {
        return;
    }
    const vontrel::Status after = unit.status();
    if (!InRange(wanted.level, after)) {
        unit.apply(restore);
        throw scpi::Error(scpi::kDataOutOfRange,
                          OutOfRange(wanted, after) + "; the previous settings are back");
    }
}

}  // namespace vontrel::serve
