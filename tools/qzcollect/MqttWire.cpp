#include "MqttWire.h"

#include <algorithm>

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

bool readU8(const QByteArray &d, qsizetype *pos, qsizetype end, quint8 *v)
{
    if (*pos + 1 > end)
        return false;
    *v = quint8(d[*pos]);
    *pos += 1;
    return true;
}

bool readU16(const QByteArray &d, qsizetype *pos, qsizetype end, quint16 *v)
{
    if (*pos + 2 > end)
        return false;
    *v = quint16((quint8(d[*pos]) << 8) | quint8(d[*pos + 1]));
    *pos += 2;
    return true;
}

bool readU16(const QByteArray &d, qsizetype *pos, quint16 *v) { return readU16(d, pos, d.size(), v); }

bool readU32(const QByteArray &d, qsizetype *pos, qsizetype end, quint32 *v)
{
    quint16 hi, lo;
    if (!readU16(d, pos, end, &hi) || !readU16(d, pos, end, &lo))
        return false;
    *v = (quint32(hi) << 16) | lo;
    return true;
}

bool readBinary(const QByteArray &d, qsizetype *pos, qsizetype end, QByteArray *v)
{
    quint16 n;
    if (!readU16(d, pos, end, &n) || *pos + n > end)
        return false;
    *v = d.mid(*pos, n);
    *pos += n;
    return true;
}

bool readUtf8(const QByteArray &d, qsizetype *pos, qsizetype end, QString *v)
{
    QByteArray bytes;
    if (!readBinary(d, pos, end, &bytes) || !isMqttUtf8(bytes.constData(), bytes.size()))
        return false;
    *v = QString::fromUtf8(bytes);
    return true;
}

template <typename T>
bool once(std::optional<T> *slot, T value)
{
    if (*slot)
        return false; // given twice
    *slot = value;
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

bool isMqttUtf8(const char *data, qsizetype size)
{
    const auto *s = reinterpret_cast<const unsigned char *>(data);
    qsizetype i = 0;
    while (i < size) {
        const unsigned char c = s[i];
        if (c == 0)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false; // a continuation byte, an overlong lead (C0, C1) or beyond F4
        }
        if (i + extra >= size)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

bool readProperties(const QByteArray &d, qsizetype *pos, Properties *out, QString *why)
{
    bool bad = false;
    const auto length = readVarInt(d, pos, &bad);
    if (!length || *pos + qsizetype(*length) > d.size()) {
        *why = QStringLiteral("property length beyond the packet");
        return false;
    }
    const qsizetype end = *pos + qsizetype(*length);
    // Properties that matter only to other packets are checked and passed over.
    std::optional<quint8> flagSeen[256];
    while (*pos < end) {
        const qsizetype at = *pos;
        quint8 id;
        if (!readU8(d, pos, end, &id) || id >= 0x80) {
            *why = QStringLiteral("property identifier at %1 unknown").arg(at);
            return false;
        }
        bool ok = true;
        auto fail = [&](const QString &text) {
            *why = QStringLiteral("property 0x%1: %2").arg(id, 2, 16, QLatin1Char('0')).arg(text);
            return false;
        };
        quint8 b = 0;
        quint16 w = 0;
        quint32 l = 0;
        QString s, s2;
        QByteArray bin;
        switch (id) {
        // one byte, 0 or 1 (maximum QoS too: a server that allows QoS 2 leaves it out)
        case 0x01: case 0x17: case 0x19: case 0x24: case 0x25: case 0x28: case 0x29: case 0x2A:
            if (!readU8(d, pos, end, &b))
                return fail(QStringLiteral("cut short"));
            if (b > 1)
                return fail(QStringLiteral("value %1, not 0 or 1").arg(b));
            if (id == 0x01)
                ok = once(&out->payloadFormat, b);
            else if (id == 0x24)
                ok = once(&out->maximumQoS, b);
            else if (id == 0x25)
                ok = once(&out->retainAvailable, b);
            else
                ok = once(&flagSeen[id], b);
            break;
        // two bytes
        case 0x13: case 0x21: case 0x22: case 0x23:
            if (!readU16(d, pos, end, &w))
                return fail(QStringLiteral("cut short"));
            if ((id == 0x21 || id == 0x23) && w == 0)
                return fail(QStringLiteral("zero"));
            if (id == 0x13)
                ok = once(&out->serverKeepAlive, w);
            else if (id == 0x21)
                ok = once(&out->receiveMaximum, w);
            else if (id == 0x22)
                ok = once(&out->topicAliasMaximum, w);
            else
                ok = once(&out->topicAlias, w);
            break;
        // four bytes
        case 0x02: case 0x11: case 0x18: case 0x27:
            if (!readU32(d, pos, end, &l))
                return fail(QStringLiteral("cut short"));
            if (id == 0x27 && l == 0)
                return fail(QStringLiteral("zero"));
            if (id == 0x02)
                ok = once(&out->messageExpiry, l);
            else if (id == 0x11)
                ok = once(&out->sessionExpiry, l);
            else if (id == 0x27)
                ok = once(&out->maximumPacketSize, l);
            else
                ok = once(&flagSeen[id], quint8(1));
            break;
        // variable byte integer: subscription identifier (may be given more than once)
        case 0x0B: {
            bool badInt = false;
            qsizetype p = *pos;
            const auto v = readVarInt(d, &p, &badInt);
            if (!v || p > end)
                return fail(QStringLiteral("cut short or longer than four bytes"));
            if (*v == 0)
                return fail(QStringLiteral("zero"));
            *pos = p;
            out->subscriptionIds.append(*v);
            break;
        }
        // UTF-8 strings
        case 0x03: case 0x08: case 0x12: case 0x15: case 0x1A: case 0x1C: case 0x1F:
            if (!readUtf8(d, pos, end, &s))
                return fail(QStringLiteral("cut short or not UTF-8"));
            if (id == 0x12 || id == 0x1F) {
                QString &slot = id == 0x12 ? out->assignedClientId : out->reasonString;
                ok = !flagSeen[id];
                flagSeen[id] = 1;
                slot = s;
            } else {
                ok = once(&flagSeen[id], quint8(1));
            }
            break;
        // binary data
        case 0x09: case 0x16:
            if (!readBinary(d, pos, end, &bin))
                return fail(QStringLiteral("cut short"));
            ok = once(&flagSeen[id], quint8(1));
            break;
        // user property: a string pair, any number of them
        case 0x26:
            if (!readUtf8(d, pos, end, &s) || !readUtf8(d, pos, end, &s2))
                return fail(QStringLiteral("cut short or not UTF-8"));
            out->userProperties.append({s, s2});
            break;
        default:
            *pos = at;
            return fail(QStringLiteral("unknown"));
        }
        if (!ok)
            return fail(QStringLiteral("given twice"));
    }
    return true;
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
    props.append(char(0x27)); // maximum packet size: the broker sends nothing larger
    appendU32(props, o.maximumPacketSize);
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

// --- reading the stream ----------------------------------------------------------------------

Reader::Reader(quint32 maxPacketSize, qsizetype headBytes) : m_max(maxPacketSize), m_headBytes(headBytes) {}

void Reader::append(const char *data, qsizetype size) { m_buffer.append(data, size); }

void Reader::clear()
{
    m_buffer.clear();
    m_offset = 0;
    m_skipping = false;
    m_head = Packet{};
    m_skip = 0;
}

Reader::Result Reader::next(Packet *out)
{
    auto compact = [this] {
        if (m_offset == m_buffer.size()) {
            m_buffer.clear();
            m_offset = 0;
        } else if (m_offset > (1 << 16)) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
    };
    if (m_skipping) {
        qsizetype available = m_buffer.size() - m_offset;
        const qsizetype keep = std::min<qsizetype>(m_headBytes, qsizetype(m_head.size));
        const qsizetype toHead = std::min(available, keep - m_head.body.size());
        m_head.body.append(m_buffer.constData() + m_offset, toHead);
        m_offset += toHead;
        available -= toHead;
        const qsizetype passed = qsizetype(std::min<qint64>(available, m_skip));
        m_offset += passed;
        m_skip -= passed;
        compact();
        if (m_head.body.size() < keep || m_skip > 0)
            return Result::NeedMore;
        m_skipping = false;
        *out = std::move(m_head);
        m_head = Packet{};
        return Result::Packet;
    }
    if (m_offset >= m_buffer.size()) {
        compact();
        return Result::NeedMore;
    }
    qsizetype pos = m_offset + 1;
    bool bad = false;
    const auto length = readVarInt(m_buffer, &pos, &bad);
    if (bad)
        return Result::Malformed;
    if (!length)
        return Result::NeedMore;
    const quint8 first = quint8(m_buffer.at(m_offset));
    if (*length > m_max) {
        if ((first >> 4) != Publish)
            return Result::Malformed;
        m_skipping = true;
        m_head = Packet{quint8(first >> 4), quint8(first & 0x0f), QByteArray(), *length, true};
        m_skip = qint64(*length) - std::min<qint64>(m_headBytes, *length);
        m_offset = pos;
        return next(out);
    }
    if (m_buffer.size() - pos < qsizetype(*length))
        return Result::NeedMore;
    out->type = first >> 4;
    out->flags = first & 0x0f;
    out->body = m_buffer.mid(pos, qsizetype(*length));
    out->size = *length;
    out->truncated = false;
    m_offset = pos + qsizetype(*length);
    compact();
    return Result::Packet;
}

// --- packets in ------------------------------------------------------------------------------

bool parseConnack(const Packet &p, ConnackInfo *out, QString *why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (p.type != Connack || p.flags != 0 || p.body.size() < 2 || (quint8(p.body[0]) & 0xFE) != 0) {
        *why = QStringLiteral("not a CONNACK");
        return false;
    }
    out->sessionPresent = (quint8(p.body[0]) & 0x01) != 0;
    out->reasonCode = quint8(p.body[1]);
    out->properties = Properties{};
    qsizetype pos = 2;
    // A refusal may come without properties.
    if (pos == p.body.size())
        return true;
    if (!readProperties(p.body, &pos, &out->properties, why))
        return false;
    if (pos != p.body.size()) {
        *why = QStringLiteral("bytes after the properties");
        return false;
    }
    return true;
}

PublishParse parsePublish(const Packet &p, PublishInfo *out, QString *why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    if (p.type != Publish) {
        *why = QStringLiteral("not a PUBLISH");
        return PublishParse::Malformed;
    }
    out->dup = (p.flags & 0x08) != 0;
    out->qos = (p.flags >> 1) & 0x03;
    out->retain = (p.flags & 0x01) != 0;
    out->size = p.size;
    out->payloadSize = 0;
    out->packetId = 0;
    out->topic.clear();
    out->payload.clear();
    if (out->qos == 3) {
        *why = QStringLiteral("QoS 3");
        return PublishParse::Malformed;
    }
    qsizetype pos = 0;
    quint16 topicLength = 0;
    if (!readU16(p.body, &pos, &topicLength) || pos + topicLength > p.body.size()) {
        *why = QStringLiteral("topic beyond the packet");
        return PublishParse::Malformed;
    }
    const char *topic = p.body.constData() + pos;
    out->topic = QString::fromUtf8(topic, topicLength);
    pos += topicLength;
    if (out->qos > 0 && (!readU16(p.body, &pos, &out->packetId) || out->packetId == 0)) {
        *why = QStringLiteral("no packet identifier");
        return PublishParse::Malformed;
    }
    // From here on the message can be acknowledged whatever else is wrong with it.
    const qsizetype afterId = pos;
    Properties props;
    QString propsWhy;
    const bool propsOk = readProperties(p.body, &pos, &props, &propsWhy);
    out->payload = p.body.mid(propsOk ? pos : afterId);
    out->payloadSize = qint64(p.size) - (propsOk ? pos : afterId);
    if (p.truncated) {
        *why = QStringLiteral("a message of %1 bytes, beyond the collector's maximum packet size").arg(p.size);
        return PublishParse::Refused;
    }
    if (!isMqttUtf8(topic, topicLength) || topicLength == 0) {
        *why = topicLength == 0 ? QStringLiteral("empty topic (topic aliases are not allowed)")
                                : QStringLiteral("topic is not UTF-8 or holds a NUL");
        return PublishParse::Refused;
    }
    const QByteArrayView topicBytes(topic, topicLength);
    if (topicBytes.contains('+') || topicBytes.contains('#')) {
        *why = QStringLiteral("topic holds a wildcard");
        return PublishParse::Refused;
    }
    if (!propsOk) {
        *why = QStringLiteral("bad properties: %1").arg(propsWhy);
        return PublishParse::Refused;
    }
    if (props.topicAlias) {
        *why = QStringLiteral("a topic alias, which the collector does not allow");
        return PublishParse::Refused;
    }
    return PublishParse::Ok;
}

bool parseSuback(const Packet &p, SubackInfo *out)
{
    if (p.type != Suback || p.flags != 0)
        return false;
    qsizetype pos = 0;
    Properties props;
    QString why;
    if (!readU16(p.body, &pos, &out->packetId) || !readProperties(p.body, &pos, &props, &why))
        return false;
    out->reasonCodes.clear();
    for (; pos < p.body.size(); ++pos)
        out->reasonCodes.append(quint8(p.body[pos]));
    return !out->reasonCodes.isEmpty();
}

bool parseDisconnect(const Packet &p, DisconnectInfo *out)
{
    out->reasonCode = p.body.isEmpty() ? 0 : quint8(p.body[0]);
    out->reasonString.clear();
    if (p.body.size() <= 1)
        return true;
    qsizetype pos = 1;
    Properties props;
    QString why;
    if (!readProperties(p.body, &pos, &props, &why))
        return false;
    out->reasonString = props.reasonString;
    return pos == p.body.size();
}

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
    case 0x95: return QStringLiteral("packet too large");
    case 0x97: return QStringLiteral("quota exceeded");
    case 0x9B: return QStringLiteral("QoS not supported");
    case 0x9F: return QStringLiteral("connection rate exceeded");
    default: break;
    }
    return QStringLiteral("reason code 0x%1").arg(code, 2, 16, QLatin1Char('0'));
}

} // namespace mqtt
