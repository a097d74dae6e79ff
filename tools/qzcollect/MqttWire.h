#pragma once
// The MQTT 5 packets the collector exchanges with the broker, as bytes. The collector speaks
// the protocol itself (rather than through a client library) because it must hold back each
// PUBACK until the message's row is committed in PostgreSQL; client libraries acknowledge a
// message as soon as it has been handed over.
//
// Only what a subscriber needs: CONNECT, SUBSCRIBE, PUBACK, PINGREQ, DISCONNECT out;
// CONNACK, SUBACK, PUBLISH, PINGRESP, DISCONNECT in.

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace mqtt {

enum PacketType : quint8 {
    Connect = 1, Connack = 2, Publish = 3, Puback = 4, Subscribe = 8, Suback = 9,
    Pingreq = 12, Pingresp = 13, Disconnect = 14
};

// The variable byte integer of MQTT: 7 bits a byte, least significant first, at most 4 bytes.
void appendVarInt(QByteArray &out, quint32 value);
// Reads one at data[*pos]; nullopt when incomplete (more bytes needed) and *bad when malformed.
std::optional<quint32> readVarInt(const QByteArray &data, qsizetype *pos, bool *bad);

struct ConnectOptions {
    QString clientId;
    QString user;
    QString password;
    quint16 keepAliveS = 30;
    bool cleanStart = false;
    quint32 sessionExpiryS = 0xFFFFFFFF; // the broker keeps the session (and its queue) for good
    quint16 receiveMaximum = 65535;      // QoS 1 messages the broker may have unacknowledged
};

QByteArray connectPacket(const ConnectOptions &options);
// Each filter with QoS 1; retained messages only when the subscription is new.
QByteArray subscribePacket(quint16 packetId, const QList<QString> &filters);
QByteArray pubackPacket(quint16 packetId);
QByteArray pingreqPacket();
QByteArray disconnectPacket();

// One whole packet taken off the front of a receive buffer.
struct Packet {
    quint8 type = 0;
    quint8 flags = 0; // low nibble of the first byte
    QByteArray body;  // everything after the remaining length
};
// Reads the complete packet at buffer[*offset] and moves *offset past it. nullopt when more
// bytes are needed; *bad set when no well-formed packet starts there (drop the connection).
std::optional<Packet> takePacket(const QByteArray &buffer, qsizetype *offset, bool *bad,
                                 quint32 maxSize = 16u << 20);

struct ConnackInfo {
    bool sessionPresent = false;
    quint8 reasonCode = 0; // 0: accepted
};
bool parseConnack(const Packet &p, ConnackInfo *out);

struct PublishInfo {
    QString topic;
    QByteArray payload;
    int qos = 0;
    bool dup = false;
    bool retain = false;
    quint16 packetId = 0; // for QoS 1 and 2
};
bool parsePublish(const Packet &p, PublishInfo *out);

struct SubackInfo {
    quint16 packetId = 0;
    QList<quint8> reasonCodes; // 0 … 2 granted QoS, 0x80 and above refused
};
bool parseSuback(const Packet &p, SubackInfo *out);

// The reason code of a DISCONNECT from the broker (0 when it has none).
quint8 disconnectReason(const Packet &p);
// A short English text for a CONNACK or DISCONNECT reason code.
QString reasonText(quint8 code);

} // namespace mqtt
