#include "DeviceAddress.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

const QString TcpScheme = QStringLiteral("tcp");
const QString ModbusTcpScheme = QStringLiteral("modbus-tcp");

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString hostPortExpected(const QString &text)
{
    return QStringLiteral("网络设备的地址应为 主机:端口，例如 192.168.1.20:4001。\nnot HOST:PORT: %1").arg(text);
}

// A host name as DNS and /etc/hosts know them: letters, digits, '-', '.', and '_' (which some
// site names use), neither starting nor ending with '-' or '.'.
bool isHostName(const QString &host)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_.-]{0,251}[A-Za-z0-9_])?$"));
    return name.match(host).hasMatch() && !host.contains(QStringLiteral(".."));
}

bool parsePort(const QString &text, quint16 *port)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    if (!digits.match(text).hasMatch())
        return false;
    const int v = text.toInt();
    if (v < 1 || v > 65535)
        return false;
    *port = quint16(v);
    return true;
}

// HOST or HOST:PORT (IPv6 in brackets); *hasPort tells which. False for anything else.
bool splitAuthority(const QString &text, QString *host, QString *portText, bool *hasPort)
{
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return false;
        *host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        *hasPort = !rest.isEmpty();
        if (*hasPort && !rest.startsWith(u':'))
            return false;
        *portText = rest.mid(1);
        const QHostAddress address(*host);
        return !host->isEmpty() && address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    const qsizetype colon = text.lastIndexOf(u':');
    *hasPort = colon >= 0;
    *host = *hasPort ? text.left(colon) : text;
    *portText = *hasPort ? text.mid(colon + 1) : QString();
    // A bare IPv6 address has colons of its own; it needs brackets to carry a port.
    return !host->contains(u':') && isHostName(*host);
}

} // namespace

bool parseHostPort(const QString &text, QString *host, quint16 *port, QString *error)
{
    const QString typed = text.trimmed();
    QString h, portText;
    bool hasPort = false;
    if (typed.isEmpty() || !splitAuthority(typed, &h, &portText, &hasPort) || !hasPort) {
        setError(error, hostPortExpected(typed));
        return false;
    }
    quint16 p = 0;
    if (!parsePort(portText, &p)) {
        setError(error, QStringLiteral("端口必须是 1 到 65535 之间的整数。\nbad port: %1").arg(portText));
        return false;
    }
    *host = h;
    *port = p;
    return true;
}

QString hostPortText(const QString &host, quint16 port)
{
    const bool v6 = host.contains(u':');
    return (v6 ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

bool parseDeviceAddress(const QString &text, DeviceAddress *out, QString *error)
{
    static const QRegularExpression schemed(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://(.*)$"));
    const QRegularExpressionMatch m = schemed.match(text);
    if (!m.hasMatch()) {
        DeviceAddress serial;
        serial.path = text;
        *out = serial;
        return true;
    }
    const QString scheme = m.captured(1).toLower();
    DeviceAddress a;
    if (scheme == TcpScheme)
        a.transport = DeviceTransport::RtuOverTcp;
    else if (scheme == ModbusTcpScheme)
        a.transport = DeviceTransport::ModbusTcp;
    else {
        setError(error, QStringLiteral("不认识的设备地址：%1（网络设备以 tcp:// 或 modbus-tcp:// 开头）。\nunknown scheme: %2")
                            .arg(text, m.captured(1)));
        return false;
    }

    QString rest = m.captured(2);
    QString query;
    if (const qsizetype q = rest.indexOf(u'?'); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    if (rest.endsWith(u'/'))
        rest.chop(1);
    QString portText;
    bool hasPort = false;
    if (!splitAuthority(rest, &a.host, &portText, &hasPort)) {
        setError(error, hostPortExpected(text));
        return false;
    }
    if (hasPort) {
        if (!parsePort(portText, &a.port)) {
            setError(error, QStringLiteral("端口必须是 1 到 65535 之间的整数。\nbad port: %1").arg(text));
            return false;
        }
    } else if (a.transport == DeviceTransport::ModbusTcp) {
        a.port = ModbusTcpPort;
    } else {
        // A serial device server has no standard port; guessing one would connect elsewhere.
        setError(error, hostPortExpected(text));
        return false;
    }

    if (!query.isEmpty()) {
        static const QRegularExpression unitQuery(QStringLiteral("^unit=([0-9]{1,3})$"), QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch u = unitQuery.match(query);
        const int unit = u.hasMatch() ? u.captured(1).toInt() : -1;
        if (a.transport != DeviceTransport::ModbusTcp || !u.hasMatch() || unit > 255) {
            setError(error, a.transport == DeviceTransport::ModbusTcp
                                ? QStringLiteral("单元号必须写成 ?unit=N，N 为 0 到 255。\nbad unit id: %1").arg(text)
                                : QStringLiteral("tcp:// 地址不带参数。\nunexpected parameters: %1").arg(text));
            return false;
        }
        a.unit = unit;
    }
    *out = a;
    return true;
}

QString deviceDisplayText(const QString &device)
{
    DeviceAddress a;
    if (!parseDeviceAddress(device.trimmed(), &a) || !a.isNetwork())
        return device;
    return hostPortText(a.host, a.port);
}

QString networkDeviceString(const QString &hostPort, DeviceTransport transport, int unit, QString *error)
{
    QString host;
    quint16 port = 0;
    if (!parseHostPort(hostPort, &host, &port, error))
        return {};
    switch (transport) {
    case DeviceTransport::RtuOverTcp:
        return TcpScheme + QStringLiteral("://") + hostPortText(host, port);
    case DeviceTransport::ModbusTcp:
        if (unit > 255 || unit < -1) {
            setError(error, QStringLiteral("单元号必须是 0 到 255 之间的整数。\nbad unit id: %1").arg(unit));
            return {};
        }
        return ModbusTcpScheme + QStringLiteral("://") + hostPortText(host, port)
            + (unit >= 0 ? QStringLiteral("?unit=%1").arg(unit) : QString());
    case DeviceTransport::Serial:
        break;
    }
    setError(error, QStringLiteral("not a network transport"));
    return {};
}
