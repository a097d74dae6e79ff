#pragma once
// Broker to PostgreSQL: messages of qz/+/status, qz/+/record and qz/+/event are decoded and
// gathered into a batch; the batch is written in one transaction when it is large enough or a
// moment after its first message; only then are its messages acknowledged to the broker.
// While PostgreSQL is away the batch waits (retrying every second) and, once the broker's
// window of unacknowledged messages is full, the broker holds the rest: memory stays flat.
// A message that cannot be decoded is reported and acknowledged, so it cannot block the queue.

#include "MqttSubscriber.h"
#include "PgStore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class Collector : public QObject {
    Q_OBJECT
public:
    struct Options {
        MqttSubscriber::Options broker;
        QString conninfo;
        int maxBatch = 5000;   // messages in one transaction
        int maxDelayMs = 50;   // after a batch's first message
        bool verbose = false;
    };
    struct Counters {
        qint64 messages = 0;   // taken into batches
        qint64 committed = 0;  // messages whose batch was committed
        qint64 records = 0;
        qint64 events = 0;
        qint64 bad = 0;        // not decodable, acknowledged and dropped
        qint64 batches = 0;
        qint64 writeMs = 0;    // time inside PostgreSQL writes
    };

    explicit Collector(const Options &options, QObject *parent = nullptr);
    ~Collector() override;

    void start();
    // Writes what is gathered (when PostgreSQL is there), then leaves the broker.
    void stop();

    const Counters &counters() const { return m_counters; }
    bool databaseConnected() const { return m_store.isConnected(); }

    // Splits "qz/<station>/<leaf>"; false for anything else.
    static bool splitTopic(const QString &topic, QString *station, QString *leaf);

Q_SIGNALS:
    void committed(int messages);

private:
    void onMessage(const QString &topic, const QByteArray &payload, quint16 packetId, int qos);
    void flush();
    void report(const QString &text);

    Options m_options;
    MqttSubscriber m_broker;
    PgStore m_store;
    Batch m_batch;
    QList<quint16> m_acks;
    QTimer m_flushTimer;
    QElapsedTimer m_lastAttempt; // of connecting to PostgreSQL
    Counters m_counters;
    QString m_lastDbError;
    bool m_dbDown = false;
};
