#include "Collector.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>

// --- writer thread ---------------------------------------------------------------------------

BatchWriter::BatchWriter(const QString &conninfo) : m_store(conninfo) {}
BatchWriter::~BatchWriter() = default;

void BatchWriter::open()
{
    if (ensureConnected())
        Q_EMIT report(QStringLiteral("PostgreSQL connected, schema ready"));
}

bool BatchWriter::ensureConnected()
{
    if (m_store.isConnected())
        return true;
    QString error;
    if (!m_store.connect(&error)) {
        if (!m_down || error != m_lastError)
            Q_EMIT report(QStringLiteral("PostgreSQL not reachable (%1); retrying every second").arg(error));
        m_down = true;
        m_lastError = error;
        return false;
    }
    if (m_down)
        Q_EMIT report(QStringLiteral("PostgreSQL connected again"));
    m_down = false;
    return true;
}

void BatchWriter::write(const std::shared_ptr<const Batch> &batch)
{
    QElapsedTimer t;
    t.start();
    int refused = 0;
    for (;;) {
        if (stopping.load()) {
            Q_EMIT written(false, 0, t.elapsed());
            return;
        }
        if (!ensureConnected()) {
            QThread::msleep(1000);
            continue;
        }
        QString error;
        const qint64 mergedBefore = m_store.mergedCopies();
        PgStore::Result result = m_store.write(*batch, &error);
        if (result == PgStore::Result::Rejected) {
            // Something in the batch is refused: its messages one at a time, so only the one
            // refused is reported and passed over.
            Q_EMIT report(QStringLiteral("PostgreSQL refused a batch (%1); writing it message by message").arg(error));
            Batch part;
            part.statuses = batch->statuses;
            part.seen = batch->seen;
            part.messages = 1;
            result = m_store.write(part, &error);
            if (result == PgStore::Result::Rejected) {
                ++refused;
                Q_EMIT report(QStringLiteral("PostgreSQL refused the stations' status (%1)").arg(error));
                result = PgStore::Result::Committed;
            }
            auto rows = [&](const QByteArray &copy, bool records) {
                for (const QByteArray &line : copy.split('\n')) {
                    if (line.isEmpty() || result == PgStore::Result::ConnectionLost)
                        continue;
                    Batch one;
                    (records ? one.recordCopy : one.eventCopy) = line + '\n';
                    (records ? one.records : one.events) = 1;
                    one.messages = 1;
                    const PgStore::Result r = m_store.write(one, &error);
                    if (r == PgStore::Result::ConnectionLost) {
                        result = r;
                    } else if (r == PgStore::Result::Rejected) {
                        ++refused;
                        Q_EMIT report(QStringLiteral("PostgreSQL refused a row (%1): %2").arg(error, QString::fromUtf8(line)));
                    }
                }
            };
            rows(batch->recordCopy, true);
            rows(batch->eventCopy, false);
        }
        merged += m_store.mergedCopies() - mergedBefore;
        if (result == PgStore::Result::Committed) {
            Q_EMIT written(true, refused, t.elapsed());
            return;
        }
        // Connection lost: nothing of this try is trusted; the whole batch again (duplicates
        // of rows already in are absorbed).
        Q_EMIT report(QStringLiteral("PostgreSQL connection lost (%1); keeping %2 messages and retrying")
                          .arg(error)
                          .arg(batch->messages));
        m_down = true;
        m_lastError = error;
        refused = 0;
        QThread::msleep(1000);
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
    connect(&m_broker, &MqttSubscriber::message, this, &Collector::onMessage);
    connect(&m_broker, &MqttSubscriber::ready, this, [this] {
        report(QStringLiteral("subscribed at %1:%2").arg(m_options.broker.host).arg(m_options.broker.port));
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
    std::fprintf(stderr, "qzcollect: %s\n", qPrintable(text));
    std::fflush(stderr);
}

bool Collector::splitTopic(const QString &topic, QString *station, QString *leaf)
{
    if (!topic.startsWith(QStringLiteral("qz/")))
        return false;
    const qsizetype slash = topic.indexOf(u'/', 3);
    if (slash <= 3 || topic.indexOf(u'/', slash + 1) >= 0)
        return false;
    *station = topic.mid(3, slash - 3);
    *leaf = topic.mid(slash + 1);
    return true;
}

void Collector::onMessage(const QString &topic, const QByteArray &payload, quint16 packetId, int qos)
{
    QString station, leaf, error;
    bool ok = splitTopic(topic, &station, &leaf);
    if (ok && leaf == QStringLiteral("record")) {
        if (!m_batch.addRecordPayload(station, payload)) {
            RecordMessage r;
            ok = decodeRecord(payload, &r, &error);
            if (ok)
                m_batch.addRecord(station, r);
        }
    } else if (ok && leaf == QStringLiteral("event")) {
        EventMessage e;
        ok = decodeEvent(payload, &e, &error);
        if (ok)
            m_batch.addEvent(station, e);
    } else if (ok && leaf == QStringLiteral("status")) {
        StatusMessage s;
        ok = decodeStatus(payload, &s, &error);
        if (ok)
            m_batch.addStatus(station, s);
    } else {
        ok = false;
        error = QStringLiteral("not a topic of ours");
    }
    if (ok) {
        m_batch.seen[station] += 1;
    } else {
        ++m_counters.bad;
        report(QStringLiteral("dropped a message on %1: %2").arg(topic, error));
    }
    ++m_batch.messages;
    ++m_counters.messages;
    if (qos > 0)
        m_acks.append(packetId);
    if (m_batch.messages >= m_options.maxBatch)
        dispatch();
    else if (!m_flushTimer.isActive() && !m_writing)
        m_flushTimer.start(m_options.maxDelayMs);
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
    QMetaObject::invokeMethod(m_writer.get(), [w = m_writer.get(), b = m_written] { w->write(b); }, Qt::QueuedConnection);
}

void Collector::onWritten(bool done, int refusedRows, qint64 ms)
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
        m_counters.records += m_written->records;
        m_counters.events += m_written->events;
        m_counters.bad += refusedRows;
        ++m_counters.batches;
        if (m_options.verbose)
            report(QStringLiteral("committed %1 messages in %2 ms").arg(m_written->messages).arg(ms));
        Q_EMIT committed(m_written->messages);
    }
    m_written.reset();
    m_writtenAcks.clear();
    if (m_batch.messages >= m_options.maxBatch)
        dispatch();
    else if (!m_batch.isEmpty())
        m_flushTimer.start(m_options.maxDelayMs);
}
