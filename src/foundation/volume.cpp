#include "foundation/volume.h"

#include <cmath>
#include <limits>

namespace {
constexpr double kNoVolume = 1e99;
}

double UsableVolume(double value) {
    if (!std::isfinite(value) || value >= kNoVolume || value < 0) return 0.0;
    return value;
}

float VolumeAsFloat(double value) {
    const double usable = UsableVolume(value);
    constexpr double kMaxFloat = static_cast<double>(std::numeric_limits<float>::max());
    return static_cast<float>(usable > kMaxFloat ? kMaxFloat : usable);
}

std::int32_t VolumeAsInt32(double value) {
    const double usable = UsableVolume(value);
    constexpr double kMaxInt = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    return usable >= kMaxInt ? std::numeric_limits<std::int32_t>::max() : static_cast<std::int32_t>(usable);
}
