#include "SiteSettings.h"

#include "IniFile.h"
#include "SiteMessages.h"
#include "SettingsFiles.h"
#include "AppError.h"

#include <QDir>
#include <QSysInfo>

QString SiteSettings::topic(const QString &leaf) const
{
    return QStringLiteral("qz/") + station + u'/' + leaf;
}

QString topicLevel(const QString &name)
{
    // The collector takes only names of isStationName(): what it would refuse is mended here.
    QString out;
    qsizetype bytes = 0;
    for (const char32_t c : QStringView(name.trimmed()).toUcs4()) {
        const char32_t k = isStationNameChar(c) ? c : U'_';
        const int size = k < 0x80 ? 1 : k < 0x800 ? 2 : k < 0x10000 ? 3 : 4;
        if (bytes + size > MaxStationNameBytes)
            break;
        bytes += size;
        out += QString::fromUcs4(&k, 1);
    }
    return out.isEmpty() ? QStringLiteral("station") : out;
}

std::optional<bool> tlsSetting(const QString &value)
{
    const QString v = value.trimmed().toLower();
    if (v == QStringLiteral("1") || v == QStringLiteral("yes") || v == QStringLiteral("true") || v == QStringLiteral("on"))
        return true;
    if (v.isEmpty() || v == QStringLiteral("0") || v == QStringLiteral("no") || v == QStringLiteral("false")
        || v == QStringLiteral("off"))
        return false;
    return std::nullopt;
}

SiteSettings ReadSiteSettings(const QString &programDir)
{
    SiteSettings s;
    try {
        const IniFile ini(QDir(programDir).filePath(CommIniFileName));
        s.host = ini.readString(MqttSection, QStringLiteral("Host")).trimmed();
        const QString tls = ini.readString(MqttSection, QStringLiteral("TLS"));
        if (const std::optional<bool> on = tlsSetting(tls)) {
            s.tls = *on;
        } else {
            // Neither on nor off: never plain TCP by mistake, so not at all.
            s.tls = true;
            s.error = QStringLiteral("KTcom.ini 的 [mqtt] TLS=%1 无法识别（加密连接写 1、yes、true 或 on，"
                                     "不加密写 0、no、false 或 off），为免口令和数据以明文发送，站点网络未启用")
                          .arg(tls.trimmed().left(40));
        }
        const int port = ini.readInteger(MqttSection, QStringLiteral("Port"), 0);
        s.port = port >= 1 && port <= 65535 ? port : (s.tls ? DefaultMqttTlsPort : DefaultMqttPort);
        s.station = ini.readString(MqttSection, QStringLiteral("Station")).trimmed();
        s.user = ini.readString(MqttSection, QStringLiteral("User"));
        s.password = ini.readString(MqttSection, QStringLiteral("Password"));
        s.caFile = ini.readString(MqttSection, QStringLiteral("CAFile")).trimmed();
    } catch (const AppError &) {
        return SiteSettings{}; // unreadable settings: the station stays off the network
    }
    if (s.station.isEmpty())
        s.station = QSysInfo::machineHostName();
    s.station = topicLevel(s.station);
    return s;
}
