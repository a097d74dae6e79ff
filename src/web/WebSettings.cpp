#include "WebSettings.h"

#include "AppError.h"
#include "IniFile.h"
#include "SettingsFiles.h"

#include <QDir>

QString WebSettings::listenText() const
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
        : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

bool parseListen(const QString &text, QHostAddress *address, quint16 *port, QString *error)
{
    const QString t = text.trimmed();
    QString host;
    QString portText;
    if (t.isEmpty()) {
        *address = QHostAddress(QHostAddress::LocalHost);
        *port = DefaultWebPort;
        return true;
    }
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *error = QStringLiteral("Listen=%1: 缺少 ']' (an IPv6 address is written [addr]:port)").arg(t);
            return false;
        }
        host = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':'))) {
                *error = QStringLiteral("Listen=%1: 地址后应为 ':端口' (expected :port after the address)").arg(t);
                return false;
            }
            portText = rest.mid(1);
        }
    } else if (t.count(QLatin1Char(':')) > 1) {
        *error = QStringLiteral("Listen=%1: IPv6 地址须写成 [地址]:端口 (write an IPv6 address as [addr]:port)").arg(t);
        return false;
    } else if (const qsizetype colon = t.indexOf(QLatin1Char(':')); colon >= 0) {
        host = t.left(colon);
        portText = t.mid(colon + 1);
    } else {
        bool digits = true;
        for (const QChar c : t)
            digits = digits && c.isDigit();
        if (digits)
            portText = t;
        else
            host = t;
    }

    quint16 p = DefaultWebPort;
    if (!portText.isNull()) {
        bool ok = false;
        const uint n = portText.toUInt(&ok);
        if (!ok || n < 1 || n > 65535) {
            *error = QStringLiteral("Listen=%1: 端口应为 1 … 65535 (the port must be 1 … 65535)").arg(t);
            return false;
        }
        p = quint16(n);
    }
    QHostAddress a(QHostAddress::LocalHost);
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0) {
        if (!a.setAddress(host) || !a.scopeId().isEmpty()) {
            *error = QStringLiteral("Listen=%1: 不是 IP 地址 (not an IP address; host names are not looked up)").arg(t);
            return false;
        }
    }
    *address = a;
    *port = p;
    return true;
}

WebSettings readWebSettings(const QString &programDir)
{
    WebSettings s;
    QList<std::pair<QString, QString>> entries;
    try {
        entries = IniFile(QDir(programDir).filePath(CommIniFileName)).readSection(WebSection);
    } catch (const AppError &) {
        // Unreadable settings: the web view stays off, and says why only if it could be on.
        return s;
    }
    auto value = [&entries](const QString &key, bool *present) {
        for (const auto &[k, v] : entries)
            if (k.compare(key, Qt::CaseInsensitive) == 0) {
                *present = true;
                return v.trimmed();
            }
        *present = false;
        return QString();
    };
    bool listen = false;
    const QString listenValue = value(QStringLiteral("Listen"), &listen);
    if (!listen)
        return s;
    s.enabled = true;
    if (!parseListen(listenValue, &s.address, &s.port, &s.error))
        return s;
    bool present = false;
    s.certFile = value(QStringLiteral("CertFile"), &present);
    s.keyFile = value(QStringLiteral("KeyFile"), &present);
    if (s.certFile.isEmpty() != s.keyFile.isEmpty())
        s.error = QStringLiteral("[web] CertFile= 与 KeyFile= 须同时给出 (TLS needs both CertFile= and KeyFile=)");
    return s;
}
