#pragma once
// The collector's connection to the broker: MQTT 5 over TCP or TLS on the event loop, with a
// persistent session (clean start off, the session kept by the broker for good) and QoS 1
// subscriptions, so the broker keeps what arrives while the collector is down. Messages come
// out as signals; each QoS 1 message is acknowledged only when ack() is called with its
// packet id, which the collector does after the message's row is committed. After a lost
// connection it reconnects by itself (1 s, doubling to 30 s); unacknowledged messages then
// come again from the broker.
//
// What the broker says in CONNACK is honoured: its Server Keep Alive sets the ping period,
// its Maximum Packet Size bounds what is sent to it, and a Maximum QoS of 0 ends the attempt
// (records and events need QoS 1). Its Receive Maximum limits QoS 1 messages sent to the
// broker, and the collector sends none. A broker that accepts the connection and then says
// nothing is left after ConnectTimeoutMs.
//
// A message the connection cannot take (larger than the maximum packet size, a topic that is
// not UTF-8, bad properties) comes out as refused(), with its packet id, so it can be put
// aside and acknowledged rather than ending the connection and coming back forever.
// setPaused(true) stops reading: the broker then holds what it has not sent (its queue, up
// to the Receive Maximum announced here).

#include "MqttWire.h"

#include <QObject>
#include <QSslSocket>
#include <QStringList>
#include <QTimer>

class MqttSubscriber : public QObject {
    Q_OBJECT
public:
    // From the start of a connection attempt to the SUBACK.
    static constexpr int ConnectTimeoutMs = 10000;

    struct Options {
        QString host;
        quint16 port = 1883;
        bool tls = false;
        QString caFile;
        mqtt::ConnectOptions connect;
        QStringList filters;
        int connectTimeoutMs = ConnectTimeoutMs;
    };

    explicit MqttSubscriber(const Options &options, QObject *parent = nullptr);
    ~MqttSubscriber() override;

    void start();
    // Sends DISCONNECT (the session stays with the broker) and closes.
    void stop();
    bool isConnected() const { return m_state == State::Ready; }
    // Acknowledges a QoS 1 message of the current connection.
    void ack(quint16 packetId);
    // Stops or resumes taking messages from the connection (a connection being set up is
    // read all the same).
    void setPaused(bool paused);
    bool isPaused() const { return m_paused; }
    // Acknowledgements handed to the socket since the connection came up (for tests).
    qint64 acksSent() const { return m_acksSent; }
    // The properties of the last CONNACK, and the keep-alive in force (s).
    const mqtt::Properties &serverProperties() const { return m_server; }
    int keepAliveS() const { return m_keepAliveS; }

Q_SIGNALS:
    void ready(bool sessionPresent); // connected and subscribed
    void lost(const QString &reason);
    void message(const QString &topic, const QByteArray &payload, quint16 packetId, int qos);
    // A message that arrived but cannot be taken; acknowledge it like any other.
    // payloadSize: of the whole payload, when only its beginning came with the message.
    void refused(const QString &topic, const QByteArray &payload, quint16 packetId, int qos, const QString &reason,
                 qint64 payloadSize);
    // A problem that ends the attempt but is worth telling (refused, bad TLS file, …).
    void problem(const QString &text);

private:
    enum class State { Idle, Connecting, WaitConnack, WaitSuback, Ready };
    void connectNow();
    void onConnected();
    void process();
    void onSocketError();
    void drop(const QString &reason);
    bool handle(const mqtt::Packet &p);
    bool send(const QByteArray &bytes);

    Options m_options;
    QSslSocket m_socket;
    QTimer m_retry;
    QTimer m_ping;
    QTimer m_deadline;
    mqtt::Reader m_reader;
    State m_state = State::Idle;
    bool m_stopping = false;
    bool m_paused = false;
    bool m_sessionPresent = false;
    int m_delayMs = 1000;
    quint16 m_subscribeId = 1;
    qint64 m_acksSent = 0;
    qint64 m_lastRead = 0;
    mqtt::Properties m_server;
    int m_keepAliveS = 30;
};
