// Volumes and open interest as the host's records can hold them. The service
// writes 1e+100 for "no volume" (indices, ratios), and real volumes pass 2^31.
// Pure functions, no Windows header; any thread.
#pragma once

#include <cstdint>

// 0 for a value that is not finite, is 1e99 or more, or is negative.
double UsableVolume(double value);
// The usable volume as a float, at most the largest finite float.
float VolumeAsFloat(double value);
// The usable volume truncated toward zero, at most 2147483647.
std::int32_t VolumeAsInt32(double value);
