#include "SharedState.h"

#include <algorithm>
#include <cmath>

int standardChannelCount(int channelCount)
{
    if (channelCount <= 8)
        return 8;
    if (channelCount <= 16)
        return 16;
    return 32;
}

int tileBarPosition(float value, float lower, float upper)
{
    const double width = double(upper) - double(lower);
    if (width == 0.0)
        return 0;
    double percent = double(value) / width * 100.0;
    if (std::isnan(percent))
        return 0;
    // Keep far-out values (huge or infinite) representable; the bar shows them at its end anyway.
    percent = std::clamp(percent, -1.0e6, 1.0e6);
    return int(std::nearbyint(percent)); // the default rounding mode: halves to even
}
