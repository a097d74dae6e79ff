#include "SettingsFiles.h"

#include "IniFile.h"
#include "NumberText.h"
#include "PfFile.h"
#include "SharedState.h"
#include "Ui.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace {

const QString CommSection = QStringLiteral("communication");
const QString DevicesSection = QStringLiteral("devices");
const QString PortKey = QStringLiteral("COM");
const QString SpeedKey = QStringLiteral("Bps");

IniFile commIni(const QString &programDir) { return IniFile(resolveFileName(programDir, CommIniFileName)); }

int limitCount(int count) { return std::clamp(count, 0, MaxChannels); }

} // namespace

QString PasswordFileWarning(const QString &programDir)
{
    const QString path = resolveFileName(programDir, CommIniFileName);
    const QFileInfo info(path);
    if (!info.isFile())
        return QString();
    const QFileDevice::Permissions p = info.permissions();
    if (!(p & (QFileDevice::ReadGroup | QFileDevice::ReadOther)))
        return QString();
    try {
        if (!IniFile(path).holdsPassword())
            return QString();
    } catch (const ui::AppError &) {
        return QString(); // unreadable: nobody else reads it either
    }
    const int mode = ((p & QFileDevice::ReadOwner) ? 0400 : 0) | ((p & QFileDevice::WriteOwner) ? 0200 : 0)
        | ((p & QFileDevice::ExeOwner) ? 0100 : 0) | ((p & QFileDevice::ReadGroup) ? 040 : 0)
        | ((p & QFileDevice::WriteGroup) ? 020 : 0) | ((p & QFileDevice::ExeGroup) ? 010 : 0)
        | ((p & QFileDevice::ReadOther) ? 04 : 0) | ((p & QFileDevice::WriteOther) ? 02 : 0)
        | ((p & QFileDevice::ExeOther) ? 01 : 0);
    return QStringLiteral("警告：%1 中保存有口令（Password），但其他用户也能读取该文件（权限 %2）。"
                          "请执行 chmod 600 %1，只让本程序的用户读取。")
        .arg(QDir::toNativeSeparators(info.absoluteFilePath()))
        .arg(mode, 4, 8, QLatin1Char('0'));
}

QString defaultChannelName(int channel) { return QStringLiteral("油储温度") + QString::number(channel); }

CommSettings ReadCommSettings(const QString &programDir)
{
    IniFile ini = commIni(programDir);
    CommSettings settings;
    settings.port = ini.readString(CommSection, PortKey, QString());
    // The key has always been read as "BPS"; names match without regard to case.
    settings.speed = ini.readInteger(CommSection, QStringLiteral("BPS"), 0);
    if (settings.port.isEmpty()) {
        settings.port = DefaultPort;
        ini.writeString(CommSection, PortKey, settings.port);
    }
    if (!SupportedBps.contains(settings.speed)) {
        settings.speed = DefaultBps;
        ini.writeString(CommSection, SpeedKey, QString::number(settings.speed));
    }
    return settings;
}

CommSettings ReadSavedCommSettings(const QString &programDir)
{
    const IniFile ini = commIni(programDir);
    return {ini.readString(CommSection, PortKey, QString()), ini.readInteger(CommSection, SpeedKey, 0)};
}

namespace {

// The port a [devices] key names: "COM" + a positive number ("com3", "COM03"), else 0.
int devicePortOfKey(const QString &key)
{
    static const QRegularExpression portKey(QStringLiteral("^COM([0-9]{1,6})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto m = portKey.match(key);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

} // namespace

QMap<int, QString> ReadDeviceMap(const QString &programDir)
{
    QMap<int, QString> devices;
    const auto pairs = commIni(programDir).readSection(DevicesSection);
    for (const auto &[key, value] : pairs) {
        const int n = devicePortOfKey(key);
        // The first entry of a port counts, as with every other key.
        if (n > 0 && !value.isEmpty() && !devices.contains(n))
            devices.insert(n, value);
    }
    return devices;
}

void WriteDeviceMapping(const QString &programDir, int port, const QString &device)
{
    IniFile ini = commIni(programDir);
    // The entry that counts for the port now is the one to change, however it is spelt
    // ("COM03"); otherwise the new one would sit behind it unread.
    QString key = QStringLiteral("COM%1").arg(port);
    for (const auto &[k, value] : ini.readSection(DevicesSection)) {
        if (devicePortOfKey(k) == port && !value.isEmpty()) {
            key = k;
            break;
        }
    }
    ini.writeString(DevicesSection, key, device);
}

void WriteCommSettings(const QString &programDir, const QString &port, int speed)
{
    IniFile ini = commIni(programDir);
    ini.writeString(CommSection, PortKey, port);
    ini.writeString(CommSection, SpeedKey, QString::number(speed));
}

void LoadSysParams()
{
    if (!pfFileExists(QStringLiteral("Sys_Para.pf"))) {
        SysParams.ChannelCount = DefaultChannelCount;
        SysParams.StorageIntervalMs = DefaultStorageIntervalMs;
        SaveSysParams();
        SettingsLoad.sysParams = true;
        return;
    }
    PfReader reader(QStringLiteral("Sys_Para.pf"));
    qint64 value = 0;
    SysParams.ChannelCount = parseInteger(reader.readLine(), &value) && value >= 1 && value <= MaxChannels
        ? int32_t(value)
        : DefaultChannelCount;
    SysParams.StorageIntervalMs = parseInteger(reader.readLine(), &value)
            && value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max()
        ? int32_t(value)
        : DefaultStorageIntervalMs;
    SettingsLoad.sysParams = true;
}

void LoadChannelSettings(int count)
{
    count = limitCount(count);

    if (pfFileExists(SystemPvFileName)) {
        PfReader reader(SystemPvFileName);
        for (int i = 0; i < count; ++i) {
            Option.Names[i] = reader.readLine();
            Option.Units[i] = reader.readLine();
            float value = 0.0f;
            Option.LowerLimits[i] = parseSingle(reader.readLine(), &value) ? value : 0.0f;
            value = 0.0f;
            Option.UpperLimits[i] = parseSingle(reader.readLine(), &value) ? value : 0.0f;
        }
    } else {
        for (int i = 0; i < count; ++i) {
            Option.Names[i] = defaultChannelName(i + 1);
            Option.Units[i] = DefaultUnit;
            Option.LowerLimits[i] = 0.0f;
            Option.UpperLimits[i] = 200.0f;
        }
        SaveChannelSettings(count);
    }

    if (pfFileExists(SystemAlmFileName)) {
        PfReader reader(SystemAlmFileName);
        for (int i = 0; i < count; ++i) {
            reader.readLine(); // the name is kept in SystemPv.Pf
            Option.AlarmModes[i] = readLooseInteger(reader.readLine());
            Option.AlarmValues[i] = readLooseSingle(reader.readLine());
        }
    } else {
        QStringList lines;
        for (int i = 0; i < count; ++i) {
            Option.AlarmModes[i] = amNone;
            Option.AlarmValues[i] = 80.0f;
            // A new file carries the value in the long scientific form; the dialog later
            // writes the general form. The reader takes both.
            lines << Option.Names[i] << QString::number(amNone) << formatScientific23(Option.AlarmValues[i]);
        }
        writePfFile(SystemAlmFileName, lines);
    }
    SettingsLoad.channels = count;
}

QString settingsSaveRefusal(int rows)
{
    if (!SettingsLoad.sysParams || SettingsLoad.channels < 0)
        return QStringLiteral("设置文件在启动时未能读入，为免覆盖原有的设置，本次不保存。"
                              "请检查程序目录中的设置文件（Sys_Para.Pf、SystemPv.Pf、SystemAlm.Pf），然后重新启动程序。");
    if (rows <= 0)
        return QStringLiteral("表格中没有通道，不能保存：保存会清空所有通道的设置。");
    return QString();
}

void SaveSysParams()
{
    writePfFile(SysParaFileName,
                {QString::number(SysParams.ChannelCount), QString::number(SysParams.StorageIntervalMs)});
}

void SaveChannelSettings(int count)
{
    count = limitCount(count);
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << Option.Names[i] << Option.Units[i] << formatGeneral(Option.LowerLimits[i])
              << formatGeneral(Option.UpperLimits[i]);
    writePfFile(SystemPvFileName, lines);
}

void SaveAlarmSettings(int count)
{
    count = limitCount(count);
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << Option.Names[i] << QString::number(Option.AlarmModes[i]) << formatGeneral(Option.AlarmValues[i]);
    writePfFile(SystemAlmFileName, lines);
}
