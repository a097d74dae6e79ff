#include "WindowState.h"

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
