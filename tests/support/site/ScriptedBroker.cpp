#include "ScriptedBroker.h"

bool ScriptedBroker::listen()
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedBroker::onConnection);
    return m_server.listen(QHostAddress::LocalHost, 0);
}

int ScriptedBroker::count(quint8 type) const
{
    int n = 0;
    for (const Packet &p : m_received)
        n += p.type == type ? 1 : 0;
    return n;
}

QList<quint16> ScriptedBroker::pubacks() const
{
    QList<quint16> ids;
    for (const Packet &p : m_received) {
        if (p.type == 4 && p.body.size() >= 2)
            ids.append(quint16((quint8(p.body[0]) << 8) | quint8(p.body[1])));
    }
    return ids;
}

void ScriptedBroker::send(const QByteArray &bytes)
{
    if (m_client && m_client->state() == QAbstractSocket::ConnectedState)
        m_client->write(bytes);
}

void ScriptedBroker::appendVarInt(QByteArray &out, quint32 value)
{
    do {
        quint8 byte = value % 128;
        value /= 128;
        out.append(char(value > 0 ? byte | 0x80 : byte));
    } while (value > 0);
}

QByteArray ScriptedBroker::publishPacket(const QByteArray &topic, const QByteArray &payload, int qos, quint16 id,
                                         const QByteArray &properties)
{
    QByteArray body;
    body += char(topic.size() >> 8);
    body += char(topic.size() & 0xff);
    body += topic;
    if (qos > 0) {
        body += char(id >> 8);
        body += char(id & 0xff);
    }
    appendVarInt(body, quint32(properties.size()));
    body += properties;
    body += payload;
    QByteArray out(1, char(0x30 | (qos << 1)));
    appendVarInt(out, quint32(body.size()));
    return out + body;
}

void ScriptedBroker::onConnection()
{
    while (QTcpSocket *s = m_server.nextPendingConnection()) {
        if (m_client) {
            m_client->abort();
            m_client->deleteLater();
        }
        m_client = s;
        m_buffer.clear();
        ++m_connections;
        connect(s, &QTcpSocket::readyRead, this, &ScriptedBroker::onData);
    }
}

void ScriptedBroker::onData()
{
    auto *s = qobject_cast<QTcpSocket *>(sender());
    if (s != m_client)
        return;
    m_buffer += s->readAll();
    for (;;) {
        // type and flags, the remaining length (at most four bytes), the body
        qsizetype pos = 1;
        quint32 length = 0, multiplier = 1;
        bool complete = false;
        while (pos < m_buffer.size() && pos <= 4) {
            const quint8 b = quint8(m_buffer[pos++]);
            length += (b & 0x7f) * multiplier;
            multiplier *= 128;
            if (!(b & 0x80)) {
                complete = true;
                break;
            }
        }
        if (!complete || m_buffer.size() < pos + qsizetype(length))
            return;
        Packet p{quint8(quint8(m_buffer[0]) >> 4), quint8(m_buffer[0] & 0x0f), m_buffer.mid(pos, length), m_connections};
        m_buffer.remove(0, pos + length);
        m_received.append(p);
        handle(p);
    }
}

void ScriptedBroker::handle(const Packet &p)
{
    switch (p.type) {
    case 1: { // CONNECT
        if (!answerConnect)
            return;
        QByteArray body;
        body += char(0); // no session present
        body += char(connackReason);
        appendVarInt(body, quint32(connackProperties.size()));
        body += connackProperties;
        QByteArray out(1, char(0x20));
        appendVarInt(out, quint32(body.size()));
        send(out + body);
        return;
    }
    case 8: { // SUBSCRIBE: packet id, properties, then (filter, options) pairs
        if (p.body.size() < 3)
            return;
        qsizetype pos = 2;
        quint32 propsLength = 0, multiplier = 1;
        while (pos < p.body.size()) {
            const quint8 b = quint8(p.body[pos++]);
            propsLength += (b & 0x7f) * multiplier;
            multiplier *= 128;
            if (!(b & 0x80))
                break;
        }
        pos += propsLength;
        QByteArray codes;
        while (pos + 2 <= p.body.size()) {
            const int n = (quint8(p.body[pos]) << 8) | quint8(p.body[pos + 1]);
            pos += 2 + n + 1;
            codes += char(1); // granted QoS 1
        }
        QByteArray body = p.body.left(2);
        body += char(0); // no properties
        body += codes;
        QByteArray out(1, char(0x90));
        appendVarInt(out, quint32(body.size()));
        send(out + body);
        return;
    }
    case 12: // PINGREQ
        send(QByteArray::fromHex("d000"));
        return;
    default:
        return;
    }
}
