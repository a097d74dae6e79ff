#include "MqttWire.h"

namespace mqtt {

namespace {

void appendU16(QByteArray &out, quint16 v)
{
    out.append(char(v >> 8));
    out.append(char(v & 0xff));
}

void appendU32(QByteArray &out, quint32 v)
{
    appendU16(out, quint16(v >> 16));
    appendU16(out, quint16(v & 0xffff));
}

void appendString(QByteArray &out, const QByteArray &s)
{
    appendU16(out, quint16(s.size()));
    out.append(s);
}

QByteArray packet(quint8 typeAndFlags, const QByteArray &body)
{
    QByteArray out;
    out.reserve(body.size() + 5);
    out.append(char(typeAndFlags));
    appendVarInt(out, quint32(body.size()));
    out.append(body);
    return out;
}

bool readU16(const QByteArray &d, qsizetype *pos, quint16 *v)
{
    if (*pos + 2 > d.size())
        return false;
    *v = quint16((quint8(d[*pos]) << 8) | quint8(d[*pos + 1]));
    *pos += 2;
    return true;
}

// Skips a property block (its length, then the properties).
bool skipProperties(const QByteArray &d, qsizetype *pos)
{
    bool bad = false;
    const auto len = readVarInt(d, pos, &bad);
    if (!len || *pos + qsizetype(*len) > d.size())
        return false;
    *pos += qsizetype(*len);
    return true;
}

} // namespace

void appendVarInt(QByteArray &out, quint32 value)
{
    do {
        quint8 byte = value % 128;
        value /= 128;
        if (value > 0)
            byte |= 0x80;
        out.append(char(byte));
    } while (value > 0);
}

std::optional<quint32> readVarInt(const QByteArray &data, qsizetype *pos, bool *bad)
{
    quint32 value = 0;
    quint32 multiplier = 1;
    for (int i = 0; i < 4; ++i) {
        if (*pos + i >= data.size())
            return std::nullopt;
        const quint8 byte = quint8(data[*pos + i]);
        value += (byte & 0x7f) * multiplier;
        if (!(byte & 0x80)) {
            *pos += i + 1;
            return value;
        }
        multiplier *= 128;
    }
    *bad = true; // a fifth byte would be needed
    return std::nullopt;
}

QByteArray connectPacket(const ConnectOptions &o)
{
    QByteArray body;
    appendString(body, QByteArrayLiteral("MQTT"));
    body.append(char(5)); // protocol level: MQTT 5
    quint8 flags = 0;
    if (o.cleanStart)
        flags |= 0x02;
    if (!o.user.isEmpty())
        flags |= 0x80;
    if (!o.password.isEmpty())
        flags |= 0x40;
    body.append(char(flags));
    appendU16(body, o.keepAliveS);
    QByteArray props;
    props.append(char(0x11)); // session expiry interval
    appendU32(props, o.sessionExpiryS);
    props.append(char(0x21)); // receive maximum
    appendU16(props, o.receiveMaximum);
    appendVarInt(body, quint32(props.size()));
    body.append(props);
    appendString(body, o.clientId.toUtf8());
    if (!o.user.isEmpty())
        appendString(body, o.user.toUtf8());
    if (!o.password.isEmpty())
        appendString(body, o.password.toUtf8());
    return packet(Connect << 4, body);
}

QByteArray subscribePacket(quint16 packetId, const QList<QString> &filters)
{
    QByteArray body;
    appendU16(body, packetId);
    appendVarInt(body, 0); // no properties
    for (const QString &f : filters) {
        appendString(body, f.toUtf8());
        body.append(char(0x11)); // QoS 1; retain handling 1: retained only for a new subscription
    }
    return packet((Subscribe << 4) | 0x02, body);
}

QByteArray pubackPacket(quint16 packetId)
{
    QByteArray body;
    appendU16(body, packetId); // reason code 0 and no properties may be left out
    return packet(Puback << 4, body);
}

QByteArray pingreqPacket() { return packet(Pingreq << 4, QByteArray()); }
QByteArray disconnectPacket() { return packet(Disconnect << 4, QByteArray()); }

std::optional<Packet> takePacket(const QByteArray &buffer, qsizetype *offset, bool *bad, quint32 maxSize)
{
    if (buffer.size() <= *offset)
        return std::nullopt;
    qsizetype pos = *offset + 1;
    const auto length = readVarInt(buffer, &pos, bad);
    if (!length)
        return std::nullopt;
    if (*length > maxSize) {
        *bad = true;
        return std::nullopt;
    }
    if (buffer.size() < pos + qsizetype(*length))
        return std::nullopt;
    Packet p;
    p.type = quint8(buffer.at(*offset)) >> 4;
    p.flags = quint8(buffer.at(*offset)) & 0x0f;
    p.body = buffer.mid(pos, qsizetype(*length));
    *offset = pos + qsizetype(*length);
    return p;
}

bool parseConnack(const Packet &p, ConnackInfo *out)
{
    if (p.type != Connack || p.body.size() < 2)
        return false;
    out->sessionPresent = (quint8(p.body[0]) & 0x01) != 0;
    out->reasonCode = quint8(p.body[1]);
    return true;
}

bool parsePublish(const Packet &p, PublishInfo *out)
{
    if (p.type != Publish)
        return false;
    out->dup = (p.flags & 0x08) != 0;
    out->qos = (p.flags >> 1) & 0x03;
    out->retain = (p.flags & 0x01) != 0;
    if (out->qos == 3)
        return false;
    qsizetype pos = 0;
    quint16 topicLength = 0;
    if (!readU16(p.body, &pos, &topicLength) || pos + topicLength > p.body.size())
        return false;
    out->topic = QString::fromUtf8(p.body.constData() + pos, topicLength);
    pos += topicLength;
    out->packetId = 0;
    if (out->qos > 0 && (!readU16(p.body, &pos, &out->packetId) || out->packetId == 0))
        return false;
    if (!skipProperties(p.body, &pos))
        return false;
    out->payload = p.body.mid(pos);
    return true;
}

bool parseSuback(const Packet &p, SubackInfo *out)
{
    if (p.type != Suback)
        return false;
    qsizetype pos = 0;
    if (!readU16(p.body, &pos, &out->packetId) || !skipProperties(p.body, &pos))
        return false;
    out->reasonCodes.clear();
    for (; pos < p.body.size(); ++pos)
        out->reasonCodes.append(quint8(p.body[pos]));
    return !out->reasonCodes.isEmpty();
}

quint8 disconnectReason(const Packet &p) { return p.body.isEmpty() ? 0 : quint8(p.body[0]); }

QString reasonText(quint8 code)
{
    switch (code) {
    case 0x00: return QStringLiteral("success");
    case 0x80: return QStringLiteral("unspecified error");
    case 0x81: return QStringLiteral("malformed packet");
    case 0x82: return QStringLiteral("protocol error");
    case 0x84: return QStringLiteral("unsupported protocol version");
    case 0x85: return QStringLiteral("client identifier not valid");
    case 0x86: return QStringLiteral("bad user name or password");
    case 0x87: return QStringLiteral("not authorized");
    case 0x88: return QStringLiteral("server unavailable");
    case 0x89: return QStringLiteral("server busy");
    case 0x8B: return QStringLiteral("server shutting down");
    case 0x8D: return QStringLiteral("keep alive timeout");
    case 0x8E: return QStringLiteral("session taken over");
    case 0x93: return QStringLiteral("receive maximum exceeded");
    case 0x97: return QStringLiteral("quota exceeded");
    default: break;
    }
    return QStringLiteral("reason code 0x%1").arg(code, 2, 16, QLatin1Char('0'));
}

} // namespace mqtt
