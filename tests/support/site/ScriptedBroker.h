#pragma once
// A broker that does what the test tells it, for what a real mosquitto will not do: accept
// the connection and then say nothing, grant odd limits, send a packet beyond the size the
// client announced, send a PUBLISH that cannot be decoded. It speaks just enough MQTT 5 for
// one subscriber: CONNECT → CONNACK, SUBSCRIBE → SUBACK (QoS 1), PINGREQ → PINGRESP; it
// notes every packet the client sends. Its parsing is its own, not the collector's.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

class ScriptedBroker : public QObject {
    Q_OBJECT
public:
    struct Packet {
        quint8 type = 0;
        quint8 flags = 0;
        QByteArray body;
        int connection = 0; // 1 for the first connection
    };

    bool listen();
    quint16 port() const { return m_server.serverPort(); }

    // How a CONNECT is answered: not at all, or with a CONNACK of this reason code and these
    // properties (the encoded properties, without their length).
    bool answerConnect = true;
    quint8 connackReason = 0;
    QByteArray connackProperties;

    int connections() const { return m_connections; }
    QList<Packet> received() const { return m_received; }
    int count(quint8 type) const;
    // Packet ids of the PUBACKs received.
    QList<quint16> pubacks() const;
    // To the current connection.
    void send(const QByteArray &bytes);

    // A PUBLISH as a broker sends it: the topic as raw bytes, a packet id for QoS 1, the
    // encoded properties.
    static QByteArray publishPacket(const QByteArray &topic, const QByteArray &payload, int qos, quint16 id,
                                    const QByteArray &properties = QByteArray());
    static void appendVarInt(QByteArray &out, quint32 value);

private:
    void onConnection();
    void onData();
    void handle(const Packet &p);

    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    QByteArray m_buffer;
    QList<Packet> m_received;
    int m_connections = 0;
};
