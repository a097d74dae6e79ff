#include "SharedState.h"

TOption Option;
TSysParams SysParams;
TAllRecord AllRecord;

void resetSharedState()
{
    Option = TOption{};
    SysParams = TSysParams{};
    AllRecord = TAllRecord{};
}

int standardChannelCount(int channelCount)
{
    if (channelCount <= 8)
        return 8;
    if (channelCount <= 16)
        return 16;
    return 32;
}
