#pragma once
// Broker to PostgreSQL: messages of qz/+/status, qz/+/record and qz/+/event are checked one by
// one and gathered into a batch on the event loop; a writer thread commits one batch at a
// time in one transaction while the next one gathers; only when a batch is committed are its
// messages acknowledged to the broker.
//
// A batch holds at most --batch messages and MaxBatchBytes; when the next one is full while
// the writer is busy, the collector stops reading from the broker, which keeps the rest:
// memory stays flat however long PostgreSQL is away.
//
// On each kind of fault:
//  - a message that cannot be taken (too large, not UTF-8, not decodable, an impossible
//    date, a NUL, no station name, QoS 0 on record or event): into qz_rejected with the
//    reason, counted and logged, acknowledged with its batch;
//  - a row PostgreSQL refuses as data (SQLSTATE class 22 or 23): the same, found by writing
//    the batch row by row; the other rows of the batch are written;
//  - any other database error (read-only, disk full, time-outs, deadlock, permissions) and a
//    lost connection: the batch is kept, nothing of it acknowledged, and written again after
//    1 s, 2 s, 4 s … at most every 30 s; reported when it starts and when it ends.

#include "CopyBatch.h"
#include "MqttSubscriber.h"
#include "PgStore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

// Lives on the writer thread and owns the PostgreSQL connection.
class BatchWriter : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 1000;
    static constexpr int MaxRetryMs = 30000;

    explicit BatchWriter(const QString &conninfo);
    ~BatchWriter() override;

    void open();
    // Commits the batch, waiting out every fault that is not the rows' (see above), until
    // committed or stopping is set.
    void write(const std::shared_ptr<const Batch> &batch);
    std::atomic<bool> stopping{false};
    std::atomic<qint64> merged{0};
    std::atomic<qint64> isolated{0};

Q_SIGNALS:
    // committed false: stopped before the batch was in. refused: messages PostgreSQL refused
    // as data, now in qz_rejected.
    void written(bool committed, const QList<RejectedMessage> &refused, qint64 ms);
    void report(const QString &text);

private:
    bool ensureConnected(QString *error);
    // Notes a fault of this kind; reported when it is a new one.
    void fault(const QString &kind, const QString &text, int messages, int retryMs);
    // Sleeps ms unless stopping; true when stopping.
    bool pause(int ms);

    PgStore m_store;
    QString m_fault; // the kind being waited out: "connection" (lost or refused) or an SQLSTATE
    QElapsedTimer m_faultSince;
};

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
        qint64 messages = 0;  // taken into batches
        qint64 committed = 0; // messages whose batch was committed
        qint64 records = 0;
        qint64 events = 0;
        qint64 rejected = 0;  // into qz_rejected (refused by the collector or PostgreSQL)
        qint64 batches = 0;
        qint64 writeMs = 0;   // time inside PostgreSQL writes
    };
    // Refused messages logged one by one at most this often a minute; the rest are counted.
    static constexpr int RefusalLinesPerMinute = 10;

    explicit Collector(const Options &options, QObject *parent = nullptr);
    ~Collector() override;

    void start();
    // Waits for the batch being written (when PostgreSQL is there), then leaves the broker.
    void stop();

    const Counters &counters() const { return m_counters; }
    qint64 batchesWithDuplicates() const { return m_writer->merged.load(); }
    qint64 batchesWrittenRowByRow() const { return m_writer->isolated.load(); }
    bool isReadingPaused() const { return m_broker.isPaused(); }
    bool isSubscribed() const { return m_broker.isConnected(); }

Q_SIGNALS:
    void committed(int messages);

private:
    void onMessage(const IncomingMessage &message, quint16 packetId);
    void dispatch();
    void onWritten(bool done, const QList<RejectedMessage> &refused, qint64 ms);
    void report(const QString &text);
    void reportRefusal(const QString &topic, const QString &error);

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
    QElapsedTimer m_refusalWindow;
    int m_refusalLines = 0;
    qint64 m_refusalsUnlogged = 0;
};
