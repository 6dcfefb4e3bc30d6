// SPDX-License-Identifier: MIT
#include "synth/calibration.h"

#include <algorithm>
#include <cmath>

#include "synth/convert.h"
#include "synth/register_image.h"

namespace vontrel {

int CalibrationIndex(double freq_mhz)
{
    if (std::isnan(freq_mhz)) {
        return 0;
    }
    double f = freq_mhz;
    if (f > synth::kMaxFrequencyMHz) {
        f = synth::kMaxFrequencyMHz;
    }
    if (f < synth::kMinFrequencyMHz) {
        f = synth::kMinFrequencyMHz;
    }
    double steps = (f - synth::kMinFrequencyMHz) / synth::kCalibrationStepMHz;
    if ((steps - std::trunc(steps)) * synth::kHalfUpFactor >= synth::kHalfUpThreshold) {
        steps += synth::kRoundUpIncrement;
    }
    // After the clamp `steps` is 0..188 (188 itself has no fraction), so the
    // conversion is in range; the final clamp only documents that.
    const auto k = static_cast<int>(ToUnsigned32(steps));
    return std::clamp(k, 0, kMaxCalibrationIndex);
}

}  // namespace vontrel
