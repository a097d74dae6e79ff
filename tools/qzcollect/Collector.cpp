#include "Collector.h"

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

// --- writer thread ---------------------------------------------------------------------------

BatchWriter::BatchWriter(const QString &conninfo) : m_store(conninfo) {}
BatchWriter::~BatchWriter() = default;

void BatchWriter::open()
{
    QString error;
    if (ensureConnected(&error))
        Q_EMIT report(QStringLiteral("PostgreSQL connected, schema ready"));
    else
        fault(QStringLiteral("connection"), error, 0, FirstRetryMs);
}

bool BatchWriter::ensureConnected(QString *error)
{
    return m_store.isConnected() || m_store.connect(error);
}

bool BatchWriter::pause(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (stopping.load())
            return true;
        QThread::msleep(std::min<qint64>(100, ms - t.elapsed() + 1));
    }
    return stopping.load();
}

void BatchWriter::fault(const QString &kind, const QString &text, int messages, int retryMs)
{
    if (kind == m_fault)
        return;
    if (m_fault.isEmpty())
        m_faultSince.start();
    m_fault = kind;
    const QString held = messages > 0 ? QStringLiteral("; %1 messages kept unacknowledged").arg(messages) : QString();
    Q_EMIT report(QStringLiteral("PostgreSQL cannot take the batch (%1)%2; trying again in %3 s, then at most every %4 s")
                      .arg(logText(text, 400), held)
                      .arg(retryMs / 1000)
                      .arg(MaxRetryMs / 1000));
}

void BatchWriter::write(const std::shared_ptr<const Batch> &batch)
{
    QElapsedTimer t;
    t.start();
    int delay = FirstRetryMs;
    for (;;) {
        if (stopping.load()) {
            Q_EMIT written(false, {}, t.elapsed());
            return;
        }
        QString error;
        PgStore::Failure failure;
        QList<RejectedMessage> refused;
        PgStore::Result result = PgStore::Result::ConnectionLost;
        if (!ensureConnected(&error)) {
            failure.text = error;
            fault(QStringLiteral("connection"), error, batch->messages, delay);
        } else {
            const qint64 mergedBefore = m_store.mergedCopies();
            const qint64 isolatedBefore = m_store.isolatedWrites();
            result = m_store.write(*batch, &refused, &failure);
            merged += m_store.mergedCopies() - mergedBefore;
            isolated += m_store.isolatedWrites() - isolatedBefore;
            if (result == PgStore::Result::Committed) {
                if (!m_fault.isEmpty()) {
                    Q_EMIT report(QStringLiteral("PostgreSQL takes the batches again (after %1 s)")
                                      .arg(double(m_faultSince.elapsed()) / 1000.0, 0, 'f', 1));
                    m_fault.clear();
                }
                Q_EMIT written(true, refused, t.elapsed());
                return;
            }
            if (result == PgStore::Result::Failed) {
                fault(QString::fromLatin1(failure.sqlState), failure.text, batch->messages, delay);
                // A table dropped under us: the schema is made again on the next connection.
                if (failure.sqlState == "42P01")
                    m_store.disconnect();
            } else {
                fault(QStringLiteral("connection"), QStringLiteral("connection lost: %1").arg(failure.text), batch->messages, delay);
            }
        }
        // Nothing of this try is trusted: the whole batch again (rows already in are absorbed).
        if (pause(delay))
            continue;
        delay = std::min(delay * 2, MaxRetryMs);
    }
}

// --- collector -------------------------------------------------------------------------------

Collector::Collector(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_broker(options.broker), m_writer(std::make_unique<BatchWriter>(options.conninfo))
{
    m_writer->moveToThread(&m_thread);
    connect(m_writer.get(), &BatchWriter::written, this, &Collector::onWritten);
    connect(m_writer.get(), &BatchWriter::report, this, &Collector::report);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &Collector::dispatch);
    connect(&m_broker, &MqttSubscriber::message, this,
            [this](const QString &topic, const QByteArray &payload, quint16 packetId, int qos) {
                onMessage(IncomingMessage{topic, payload, qos, QDateTime::currentMSecsSinceEpoch(), QString(), -1}, packetId);
            });
    connect(&m_broker, &MqttSubscriber::refused, this,
            [this](const QString &topic, const QByteArray &payload, quint16 packetId, int qos, const QString &reason,
                   qint64 payloadSize) {
                onMessage(IncomingMessage{topic, payload, qos, QDateTime::currentMSecsSinceEpoch(), reason, payloadSize}, packetId);
            });
    connect(&m_broker, &MqttSubscriber::ready, this, [this](bool sessionPresent) {
        report(QStringLiteral("subscribed at %1:%2%3")
                   .arg(m_options.broker.host)
                   .arg(m_options.broker.port)
                   .arg(sessionPresent ? QString()
                                       : QStringLiteral(" (a new session: what was published before it existed is not kept for the collector)")));
    });
    connect(&m_broker, &MqttSubscriber::lost, this, [this](const QString &reason) {
        // The packet ids of this connection mean nothing on the next one, so they are not
        // acknowledged; the rows gathered are written all the same: a broker killed before it
        // saved them would not give them again (and one that does gives duplicates, absorbed).
        ++m_generation;
        m_acks.clear();
        report(QStringLiteral("broker connection lost (%1), reconnecting").arg(reason));
    });
    connect(&m_broker, &MqttSubscriber::problem, this, &Collector::report);
    m_refusalWindow.start();
}

Collector::~Collector()
{
    m_writer->stopping = true;
    m_thread.quit();
    m_thread.wait();
}

void Collector::start()
{
    m_thread.start();
    QMetaObject::invokeMethod(m_writer.get(), &BatchWriter::open, Qt::QueuedConnection);
    m_broker.start();
}

void Collector::stop()
{
    if (m_refusalsUnlogged > 0)
        report(QStringLiteral("%1 more messages refused into qz_rejected").arg(m_refusalsUnlogged));
    m_refusalsUnlogged = 0;
    m_flushTimer.stop();
    dispatch(); // what is gathered, if the writer is free
    // The batch with the writer: a moment to finish, then it is left to the broker's redelivery.
    QElapsedTimer t;
    t.start();
    while (m_writing && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    m_writer->stopping = true;
    while (m_writing && t.elapsed() < 7000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    m_broker.stop();
    m_thread.quit();
    m_thread.wait();
}

void Collector::report(const QString &text)
{
    // Our own texts carry outside ones already escaped; this bounds the line and catches any
    // control character left.
    std::fprintf(stderr, "qzcollect: %s\n", qPrintable(logText(text, 1000)));
    std::fflush(stderr);
}

void Collector::reportRefusal(const QString &topic, const QString &error)
{
    if (m_refusalWindow.elapsed() >= 60000) {
        if (m_refusalsUnlogged > 0)
            report(QStringLiteral("%1 more messages refused into qz_rejected in the last minute").arg(m_refusalsUnlogged));
        m_refusalWindow.restart();
        m_refusalLines = 0;
        m_refusalsUnlogged = 0;
    }
    if (m_refusalLines >= RefusalLinesPerMinute) {
        ++m_refusalsUnlogged;
        return;
    }
    ++m_refusalLines;
    report(QStringLiteral("refused a message on %1 into qz_rejected: %2").arg(logText(topic, 120), logText(error, 300)));
}

void Collector::onMessage(const IncomingMessage &message, quint16 packetId)
{
    const int before = int(m_batch.rejected.size());
    if (m_batch.take(message) == Batch::Taken::Rejected) {
        ++m_counters.rejected;
        reportRefusal(message.topic, m_batch.rejected.value(before).error);
    }
    ++m_counters.messages;
    if (message.qos > 0)
        m_acks.append(packetId);
    if (m_batch.isFull(m_options.maxBatch)) {
        if (!m_writing)
            dispatch();
        else
            m_broker.setPaused(true); // the broker keeps the rest until the writer is free
    } else if (!m_flushTimer.isActive() && !m_writing) {
        m_flushTimer.start(m_options.maxDelayMs);
    }
}

void Collector::dispatch()
{
    m_flushTimer.stop();
    if (m_writing || m_batch.isEmpty())
        return;
    m_written = std::make_shared<const Batch>(std::move(m_batch));
    m_batch = Batch{};
    m_writtenAcks = std::move(m_acks);
    m_acks = {};
    m_writtenGeneration = m_generation;
    m_writing = true;
    m_broker.setPaused(false);
    QMetaObject::invokeMethod(m_writer.get(), [w = m_writer.get(), b = m_written] { w->write(b); }, Qt::QueuedConnection);
}

void Collector::onWritten(bool done, const QList<RejectedMessage> &refused, qint64 ms)
{
    m_writing = false;
    m_counters.writeMs += ms;
    if (done) {
        // Acknowledged only on the connection they came on; after a reconnect the broker
        // sends them again and the duplicates are absorbed.
        if (m_writtenGeneration == m_generation) {
            for (const quint16 id : std::as_const(m_writtenAcks))
                m_broker.ack(id);
        }
        m_counters.committed += m_written->messages;
        m_counters.records += m_written->records.count();
        m_counters.events += m_written->events.count();
        m_counters.rejected += refused.size();
        for (const RejectedMessage &r : refused)
            reportRefusal(r.topic, r.error);
        ++m_counters.batches;
        if (m_options.verbose)
            report(QStringLiteral("committed %1 messages in %2 ms").arg(m_written->messages).arg(ms));
        Q_EMIT committed(m_written->messages);
    }
    m_written.reset();
    m_writtenAcks.clear();
    if (m_batch.isFull(m_options.maxBatch))
        dispatch();
    else if (!m_batch.isEmpty())
        m_flushTimer.start(m_options.maxDelayMs);
}
