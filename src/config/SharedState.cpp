#include "SharedState.h"

TOption Option;
TSysParams SysParams;
TAllRecord AllRecord;
TSettingsLoad SettingsLoad;

namespace {
QString g_programDirectory = QStringLiteral(".");
}

QString programDirectory() { return g_programDirectory; }
void setProgramDirectory(const QString &dir) { g_programDirectory = dir; }

void resetSharedState()
{
    Option = TOption{};
    SysParams = TSysParams{};
    AllRecord = TAllRecord{};
    SettingsLoad = TSettingsLoad{};
}

int standardChannelCount(int channelCount)
{
    if (channelCount <= 8)
        return 8;
    if (channelCount <= 16)
        return 16;
    return 32;
}
