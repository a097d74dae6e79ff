#pragma once
// The collector's connection to the broker: MQTT 5 over TCP or TLS on the event loop, with a
// persistent session (clean start off, the session kept by the broker for good) and QoS 1
// subscriptions, so the broker keeps what arrives while the collector is down. Messages come
// out as signals; each QoS 1 message is acknowledged only when ack() is called with its
// packet id, which the collector does after the message's row is committed. After a lost
// connection it reconnects by itself (1 s, doubling to 30 s); unacknowledged messages then
// come again from the broker.

#include "MqttWire.h"

#include <QObject>
#include <QSslSocket>
#include <QStringList>
#include <QTimer>

class MqttSubscriber : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString host;
        quint16 port = 1883;
        bool tls = false;
        QString caFile;
        mqtt::ConnectOptions connect;
        QStringList filters;
    };

    explicit MqttSubscriber(const Options &options, QObject *parent = nullptr);
    ~MqttSubscriber() override;

    void start();
    // Sends DISCONNECT (the session stays with the broker) and closes.
    void stop();
    bool isConnected() const { return m_state == State::Ready; }
    // Acknowledges a QoS 1 message of the current connection.
    void ack(quint16 packetId);
    // Acknowledgements handed to the socket since the connection came up (for tests).
    qint64 acksSent() const { return m_acksSent; }

Q_SIGNALS:
    void ready(bool sessionPresent); // connected and subscribed
    void lost(const QString &reason);
    void message(const QString &topic, const QByteArray &payload, quint16 packetId, int qos);
    // A problem that ends the attempt but is worth telling (refused, bad TLS file, …).
    void problem(const QString &text);

private:
    enum class State { Idle, Connecting, WaitConnack, WaitSuback, Ready };
    void connectNow();
    void onConnected();
    void onReadyRead();
    void onSocketError();
    void drop(const QString &reason);
    bool handle(const mqtt::Packet &p);
    void send(const QByteArray &bytes);

    Options m_options;
    QSslSocket m_socket;
    QTimer m_retry;
    QTimer m_ping;
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    State m_state = State::Idle;
    bool m_stopping = false;
    int m_delayMs = 1000;
    quint16 m_subscribeId = 1;
    qint64 m_acksSent = 0;
    qint64 m_lastRead = 0;
};
