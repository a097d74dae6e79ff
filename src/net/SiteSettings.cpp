#include "SiteSettings.h"

#include "IniFile.h"
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
    QString out = name.trimmed();
    for (QChar &c : out) {
        if (c == u'/' || c == u'+' || c == u'#' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'_';
    }
    return out.isEmpty() ? QStringLiteral("station") : out;
}

SiteSettings ReadSiteSettings(const QString &programDir)
{
    SiteSettings s;
    try {
        const IniFile ini(QDir(programDir).filePath(CommIniFileName));
        s.host = ini.readString(MqttSection, QStringLiteral("Host")).trimmed();
        s.tls = ini.readString(MqttSection, QStringLiteral("TLS")).trimmed() == QStringLiteral("1");
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
