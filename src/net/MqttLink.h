#pragma once
// The MQTT client of the station (libmosquitto). libmosquitto resolves host names and
// connects with blocking calls, so a dead broker or name server would freeze the UI thread:
// the client runs on a thread of its own, which does all socket work (connect, read, write,
// keep-alive, reconnect with back-off). Its callbacks reach this object on the UI thread as
// queued calls; publishing from the UI thread only queues the message for that thread.
// Every other station object stays on the UI thread.

#include "SiteSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

struct mosquitto;

class MqttLink : public QObject {
    Q_OBJECT
public:
    explicit MqttLink(QObject *parent = nullptr);
    ~MqttLink() override;

    // Starts the client thread, which connects and keeps reconnecting until stop(). The last
    // will (retained, QoS 1) goes to willTopic. False when the client cannot be set up
    // (bad TLS file, no memory); the reason in *error.
    bool start(const SiteSettings &settings, const QString &willTopic, const QByteArray &will, QString *error);
    // Sends `last` (retained, QoS 1) to lastTopic when connected, disconnects cleanly and ends
    // the client thread, waiting at most waitMs for it (a thread still stuck in a name lookup
    // is left to the end of the process).
    void stop(const QString &lastTopic = QString(), const QByteArray &last = QByteArray(), int waitMs = FlushMs + 1000);

    bool isRunning() const { return m_mosq != nullptr; }
    bool isConnected() const { return m_connected; }
    // Hands a message to the client thread; the message id, or -1 when not connected or the
    // client refused it.
    int publish(const QString &topic, const QByteArray &payload, int qos, bool retain);

    // Longest the client waits between reconnection attempts.
    static constexpr int MaxReconnectDelayMs = 30000;
    // At most this long, when stopping, for the last status and DISCONNECT to be written.
    static constexpr int FlushMs = 4000;

Q_SIGNALS:
    void connected();
    // reason: the technical text (libmosquitto's or the broker's)
    void disconnected(const QString &reason);
    void published(int mid);

private:
    struct Worker;
    void onConnect(int rc, const QString &reason);
    void onDisconnect(const QString &reason);

    mosquitto *m_mosq = nullptr;
    std::shared_ptr<Worker> m_worker;
    bool m_connected = false;
};
