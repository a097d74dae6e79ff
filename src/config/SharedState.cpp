#include "SharedState.h"

int standardChannelCount(int channelCount)
{
    if (channelCount <= 8)
        return 8;
    if (channelCount <= 16)
        return 16;
    return 32;
}
