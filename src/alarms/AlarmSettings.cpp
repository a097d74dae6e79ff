#include "AlarmSettings.h"

#include "IniFile.h"
#include "NumberText.h"
#include "PfFile.h"
#include "SettingsFiles.h"

#include <cmath>

namespace {

const QString DeadbandKey = QStringLiteral("Deadband");
const QString OnDelayKey = QStringLiteral("OnDelaySeconds");
const QString CommandKey = QStringLiteral("Command");
// Marks a key that is not in the file (an empty value is a value).
const QString Missing = QStringLiteral("\x01missing");

} // namespace

AlarmSettings readAlarmSettings(const QString &programDir)
{
    IniFile ini(resolveFileName(programDir, CommIniFileName));
    AlarmSettings s;

    QString deadband = ini.readString(AlarmsSection, DeadbandKey, Missing);
    // "1.5%" reads as 1.5: the value is a percentage anyway.
    if (deadband.endsWith(QLatin1Char('%')))
        deadband.chop(1);
    double percent = 0;
    if (deadband != Missing && parseNumber(deadband, &percent) && percent >= 0 && percent <= MaxDeadbandPercent)
        s.deadbandPercent = percent;
    else
        ini.writeString(AlarmsSection, DeadbandKey, formatGeneral(DefaultDeadbandPercent));

    const QString delay = ini.readString(AlarmsSection, OnDelayKey, Missing);
    qint64 seconds = 0;
    if (delay != Missing && parseInteger(delay, &seconds) && seconds >= 0 && seconds <= MaxOnDelaySeconds)
        s.onDelaySeconds = int(seconds);
    else
        ini.writeString(AlarmsSection, OnDelayKey, QString::number(DefaultOnDelaySeconds));

    const QString command = ini.readString(AlarmsSection, CommandKey, Missing);
    if (command == Missing)
        ini.writeString(AlarmsSection, CommandKey, QString());
    else
        s.command = command;
    return s;
}

double deadbandOf(const AlarmSettings &settings, float lower, float upper)
{
    const double range = std::fabs(double(upper) - double(lower));
    if (!std::isfinite(range))
        return 0.0;
    return settings.deadbandPercent / 100.0 * range;
}
