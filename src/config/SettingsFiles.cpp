#include "SettingsFiles.h"

#include "IniFile.h"
#include "NumberText.h"
#include "PfFile.h"
#include "SharedState.h"
#include "AppError.h"

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
    } catch (const AppError &) {
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

void LoadSysParams(TSysParams &sys, TSettingsLoad &load)
{
    if (!pfFileExists(QStringLiteral("Sys_Para.pf"))) {
        sys.ChannelCount = DefaultChannelCount;
        sys.StorageIntervalMs = DefaultStorageIntervalMs;
        SaveSysParams(sys);
        load.sysParams = true;
        return;
    }
    PfReader reader(QStringLiteral("Sys_Para.pf"));
    qint64 value = 0;
    sys.ChannelCount = parseInteger(reader.readLine(), &value) && value >= 1 && value <= MaxChannels
        ? int32_t(value)
        : DefaultChannelCount;
    sys.StorageIntervalMs = parseInteger(reader.readLine(), &value)
            && value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max()
        ? int32_t(value)
        : DefaultStorageIntervalMs;
    load.sysParams = true;
}

void LoadChannelSettings(TOption &opt, int count, TSettingsLoad &load)
{
    count = limitCount(count);

    if (pfFileExists(SystemPvFileName)) {
        PfReader reader(SystemPvFileName);
        for (int i = 0; i < count; ++i) {
            opt.Names[i] = reader.readLine();
            opt.Units[i] = reader.readLine();
            float value = 0.0f;
            opt.LowerLimits[i] = parseSingle(reader.readLine(), &value) ? value : 0.0f;
            value = 0.0f;
            opt.UpperLimits[i] = parseSingle(reader.readLine(), &value) ? value : 0.0f;
        }
    } else {
        for (int i = 0; i < count; ++i) {
            opt.Names[i] = defaultChannelName(i + 1);
            opt.Units[i] = DefaultUnit;
            opt.LowerLimits[i] = 0.0f;
            opt.UpperLimits[i] = 200.0f;
        }
        SaveChannelSettings(opt, count);
    }

    if (pfFileExists(SystemAlmFileName)) {
        PfReader reader(SystemAlmFileName);
        for (int i = 0; i < count; ++i) {
            reader.readLine(); // the name is kept in SystemPv.Pf
            opt.AlarmModes[i] = readLooseInteger(reader.readLine());
            opt.AlarmValues[i] = readLooseSingle(reader.readLine());
        }
    } else {
        QStringList lines;
        for (int i = 0; i < count; ++i) {
            opt.AlarmModes[i] = amNone;
            opt.AlarmValues[i] = 80.0f;
            // A new file carries the value in the long scientific form; the dialog later
            // writes the general form. The reader takes both.
            lines << opt.Names[i] << QString::number(amNone) << formatScientific23(opt.AlarmValues[i]);
        }
        writePfFile(SystemAlmFileName, lines);
    }
    load.channels = count;
}

QString settingsSaveRefusal(const TSettingsLoad &load, int rows)
{
    if (!load.sysParams || load.channels < 0)
        return QStringLiteral("设置文件在启动时未能读入，为免覆盖原有的设置，本次不保存。"
                              "请检查程序目录中的设置文件（Sys_Para.Pf、SystemPv.Pf、SystemAlm.Pf），然后重新启动程序。");
    if (rows <= 0)
        return QStringLiteral("表格中没有通道，不能保存：保存会清空所有通道的设置。");
    return QString();
}

void SaveSysParams(const TSysParams &sys)
{
    writePfFile(SysParaFileName,
                {QString::number(sys.ChannelCount), QString::number(sys.StorageIntervalMs)});
}

void SaveChannelSettings(const TOption &opt, int count)
{
    count = limitCount(count);
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << opt.Names[i] << opt.Units[i] << formatGeneral(opt.LowerLimits[i])
              << formatGeneral(opt.UpperLimits[i]);
    writePfFile(SystemPvFileName, lines);
}

void SaveAlarmSettings(const TOption &opt, int count)
{
    count = limitCount(count);
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines << opt.Names[i] << QString::number(opt.AlarmModes[i]) << formatGeneral(opt.AlarmValues[i]);
    writePfFile(SystemAlmFileName, lines);
}
