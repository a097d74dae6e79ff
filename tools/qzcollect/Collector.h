#pragma once
// Broker to PostgreSQL: messages of qz/+/status, qz/+/record and qz/+/event are decoded and
// gathered into a batch on the event loop; a writer thread commits one batch at a time in one
// transaction while the next one gathers; only when a batch is committed are its messages
// acknowledged to the broker. While PostgreSQL is away the writer keeps its batch and tries
// again every second; the next batch keeps gathering until the broker's window of
// unacknowledged messages is full, and then the broker holds the rest: memory stays flat.
// A message that cannot be decoded, or a row PostgreSQL refuses, is reported and acknowledged,
// so it cannot block the queue.

#include "MqttSubscriber.h"
#include "PgStore.h"

#include <QObject>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

// Lives on the writer thread and owns the PostgreSQL connection.
class BatchWriter : public QObject {
    Q_OBJECT
public:
    explicit BatchWriter(const QString &conninfo);
    ~BatchWriter() override;

    void open();
    // Commits the batch, retrying (every second) while PostgreSQL is away, until committed or
    // stopping is set. A batch PostgreSQL refuses is written message by message.
    void write(const std::shared_ptr<const Batch> &batch);
    std::atomic<bool> stopping{false};
    std::atomic<qint64> merged{0};

Q_SIGNALS:
    // committed false: stopped before the batch was in
    void written(bool committed, int refusedRows, qint64 ms);
    void report(const QString &text);

private:
    bool ensureConnected();
    PgStore m_store;
    bool m_down = false;
    QString m_lastError;
};

class Collector : public QObject {
    Q_OBJECT
public:
    struct Options {
        MqttSubscriber::Options broker;
        QString conninfo;
        int maxBatch = 5000;   // messages in one transaction, when the writer is free
        int maxDelayMs = 50;   // after a batch's first message
        bool verbose = false;
    };
    struct Counters {
        qint64 messages = 0;   // taken into batches
        qint64 committed = 0;  // messages whose batch was committed
        qint64 records = 0;
        qint64 events = 0;
        qint64 bad = 0;        // not decodable or refused, acknowledged and dropped
        qint64 batches = 0;
        qint64 writeMs = 0;    // time inside PostgreSQL writes
    };

    explicit Collector(const Options &options, QObject *parent = nullptr);
    ~Collector() override;

    void start();
    // Waits for the batch being written (when PostgreSQL is there), then leaves the broker.
    void stop();

    const Counters &counters() const { return m_counters; }
    qint64 batchesWithDuplicates() const { return m_writer->merged.load(); }

    // Splits "qz/<station>/<leaf>"; false for anything else.
    static bool splitTopic(const QString &topic, QString *station, QString *leaf);

Q_SIGNALS:
    void committed(int messages);

private:
    void onMessage(const QString &topic, const QByteArray &payload, quint16 packetId, int qos);
    void dispatch();
    void onWritten(bool done, int refusedRows, qint64 ms);
    void report(const QString &text);

    Options m_options;
    MqttSubscriber m_broker;
    QThread m_thread;
    // Deleted after its thread has ended (the counters stay readable until then).
    std::unique_ptr<BatchWriter> m_writer;
    Batch m_batch;
    QList<quint16> m_acks;
    // The batch with the writer and its acknowledgements, valid while m_generation holds.
    bool m_writing = false;
    std::shared_ptr<const Batch> m_written;
    QList<quint16> m_writtenAcks;
    int m_writtenGeneration = 0;
    int m_generation = 0; // counts broker connections
    QTimer m_flushTimer;
    Counters m_counters;
};
