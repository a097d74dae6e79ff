#pragma once
// The MQTT 5 packets the collector exchanges with the broker, as bytes. The collector speaks
// the protocol itself (rather than through a client library) because it must hold back each
// PUBACK until the message's row is committed in PostgreSQL; client libraries acknowledge a
// message as soon as it has been handed over.
//
// Only what a subscriber needs: CONNECT, SUBSCRIBE, PUBACK, PINGREQ, DISCONNECT out;
// CONNACK, SUBACK, PUBLISH, PINGRESP, DISCONNECT in. Everything that comes in is checked as
// untrusted bytes: a packet larger than the collector takes is skipped as it streams in
// (only its head is kept), so it can be refused and acknowledged instead of ending the
// connection and coming back forever.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

namespace mqtt {

enum PacketType : quint8 {
    Connect = 1, Connack = 2, Publish = 3, Puback = 4, Subscribe = 8, Suback = 9,
    Pingreq = 12, Pingresp = 13, Disconnect = 14
};

// The largest packet the collector takes, announced as Maximum Packet Size in CONNECT. The
// stations' messages are a few kilobytes.
constexpr quint32 DefaultMaxPacketSize = 16u << 20;
// Of a packet beyond it, this much of the start is kept: room for the longest topic and the
// packet id (so it can be acknowledged) and the payload's beginning (for the dead letters).
constexpr qsizetype OversizedHeadBytes = 128 * 1024;

// The variable byte integer of MQTT: 7 bits a byte, least significant first, at most 4 bytes.
void appendVarInt(QByteArray &out, quint32 value);
// Reads one at data[*pos]; nullopt when incomplete (more bytes needed) and *bad when malformed.
std::optional<quint32> readVarInt(const QByteArray &data, qsizetype *pos, bool *bad);

// Well-formed UTF-8 as MQTT requires it: no overlong form, no surrogate, nothing above
// U+10FFFF, and no U+0000.
bool isMqttUtf8(const char *data, qsizetype size);

// The MQTT 5 properties the collector reads (and every other one checked and passed over).
struct Properties {
    std::optional<quint32> sessionExpiry;
    std::optional<quint16> serverKeepAlive;
    std::optional<quint16> receiveMaximum;
    std::optional<quint8> maximumQoS;
    std::optional<quint8> retainAvailable;
    std::optional<quint32> maximumPacketSize;
    std::optional<quint16> topicAliasMaximum;
    std::optional<quint16> topicAlias;
    std::optional<quint8> payloadFormat;
    std::optional<quint32> messageExpiry;
    QString assignedClientId;
    QString reasonString;
    QList<quint32> subscriptionIds;
    QList<QPair<QString, QString>> userProperties;
};
// Reads a property block (its length, then the properties) at d[*pos]. False with a reason
// for an unknown identifier, a value cut short or out of its range, a string that is not
// UTF-8, or a property given twice that may be given once.
bool readProperties(const QByteArray &d, qsizetype *pos, Properties *out, QString *why);

struct ConnectOptions {
    QString clientId;
    QString user;
    QString password;
    quint16 keepAliveS = 30;
    bool cleanStart = false;
    quint32 sessionExpiryS = 0xFFFFFFFF; // the broker keeps the session (and its queue) for good
    quint16 receiveMaximum = 65535;      // QoS 1 messages the broker may have unacknowledged
    quint32 maximumPacketSize = DefaultMaxPacketSize;
};

QByteArray connectPacket(const ConnectOptions &options);
// Each filter with QoS 1; retained messages only when the subscription is new.
QByteArray subscribePacket(quint16 packetId, const QList<QString> &filters);
QByteArray pubackPacket(quint16 packetId);
QByteArray pingreqPacket();
QByteArray disconnectPacket();

// One packet taken off the stream.
struct Packet {
    quint8 type = 0;
    quint8 flags = 0;  // low nibble of the first byte
    QByteArray body;   // everything after the remaining length (only its head when truncated)
    quint32 size = 0;  // the remaining length as announced
    bool truncated = false;
};

// Cuts the byte stream from the broker into packets. A packet above the maximum size is not
// buffered: a PUBLISH comes out truncated (its first OversizedHeadBytes) once the rest has
// streamed past; any other type is malformed (a broker sends nothing else that large).
class Reader {
public:
    explicit Reader(quint32 maxPacketSize = DefaultMaxPacketSize, qsizetype headBytes = OversizedHeadBytes);
    void append(const char *data, qsizetype size);
    void append(const QByteArray &bytes) { append(bytes.constData(), bytes.size()); }
    void clear();

    enum class Result { NeedMore, Packet, Malformed };
    Result next(Packet *out);
    // Bytes held: what has not been taken yet, and the head of a packet being skipped.
    qsizetype buffered() const { return m_buffer.size() - m_offset + m_head.body.size(); }

private:
    quint32 m_max;
    qsizetype m_headBytes;
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    // Skipping an oversized packet: its header, the head kept, the bytes still to pass over.
    bool m_skipping = false;
    Packet m_head;
    qint64 m_skip = 0;
};

struct ConnackInfo {
    bool sessionPresent = false;
    quint8 reasonCode = 0; // 0: accepted
    Properties properties;
};
bool parseConnack(const Packet &p, ConnackInfo *out, QString *why = nullptr);

struct PublishInfo {
    QString topic;
    QByteArray payload; // only its beginning when the packet was truncated
    int qos = 0;
    bool dup = false;
    bool retain = false;
    quint16 packetId = 0; // for QoS 1 and 2
    quint32 size = 0;     // of the whole packet's body
    qint64 payloadSize = 0; // of the whole payload (more than payload.size() when truncated)
};
enum class PublishParse {
    Ok,
    // Framed well enough to be acknowledged (QoS and packet id known), but unusable: a topic
    // that is not UTF-8, bad properties, a topic alias nobody allowed, a packet above the
    // size limit. The reason says which; topic and payload hold what could be read.
    Refused,
    // Not even the packet id can be read: the connection is unusable.
    Malformed,
};
PublishParse parsePublish(const Packet &p, PublishInfo *out, QString *why = nullptr);

struct SubackInfo {
    quint16 packetId = 0;
    QList<quint8> reasonCodes; // 0 … 2 granted QoS, 0x80 and above refused
};
bool parseSuback(const Packet &p, SubackInfo *out);

struct DisconnectInfo {
    quint8 reasonCode = 0;
    QString reasonString;
};
// A DISCONNECT from the broker; false when malformed (the reason code alone still counts).
bool parseDisconnect(const Packet &p, DisconnectInfo *out);
// A short English text for a CONNACK or DISCONNECT reason code.
QString reasonText(quint8 code);

} // namespace mqtt
