#include "Collector.h"

#include <cstdio>

Collector::Collector(const Options &options, QObject *parent)
    : QObject(parent), m_options(options), m_broker(options.broker), m_store(options.conninfo)
{
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &Collector::flush);
    connect(&m_broker, &MqttSubscriber::message, this, &Collector::onMessage);
    connect(&m_broker, &MqttSubscriber::ready, this, [this] {
        report(QStringLiteral("subscribed at %1:%2").arg(m_options.broker.host).arg(m_options.broker.port));
    });
    connect(&m_broker, &MqttSubscriber::lost, this, [this](const QString &reason) {
        // The broker gives unacknowledged messages again after the reconnect; the packet ids
        // of this connection mean nothing on the next one.
        m_batch.clear();
        m_acks.clear();
        m_flushTimer.stop();
        report(QStringLiteral("broker connection lost (%1), reconnecting").arg(reason));
    });
    connect(&m_broker, &MqttSubscriber::problem, this, &Collector::report);
}

Collector::~Collector() = default;

void Collector::start()
{
    QString error;
    if (!m_store.connect(&error)) {
        m_dbDown = true;
        m_lastDbError = error;
        report(QStringLiteral("PostgreSQL not reachable (%1); retrying every second").arg(error));
    } else {
        report(QStringLiteral("PostgreSQL connected, schema ready"));
    }
    m_broker.start();
}

void Collector::stop()
{
    m_flushTimer.stop();
    if (!m_batch.isEmpty() && m_store.isConnected())
        flush();
    m_broker.stop();
    m_store.disconnect();
}

void Collector::report(const QString &text)
{
    std::fprintf(stderr, "qzcollect: %s\n", qPrintable(text));
    std::fflush(stderr);
}

bool Collector::splitTopic(const QString &topic, QString *station, QString *leaf)
{
    const QStringList parts = topic.split(u'/');
    if (parts.size() != 3 || parts[0] != QStringLiteral("qz") || parts[1].isEmpty())
        return false;
    *station = parts[1];
    *leaf = parts[2];
    return true;
}

void Collector::onMessage(const QString &topic, const QByteArray &payload, quint16 packetId, int qos)
{
    QString station, leaf, error;
    bool ok = splitTopic(topic, &station, &leaf);
    if (ok && leaf == QStringLiteral("record")) {
        RecordMessage r;
        ok = decodeRecord(payload, &r, &error);
        if (ok)
            m_batch.addRecord(station, r);
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
        flush();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start(m_options.maxDelayMs);
}

void Collector::flush()
{
    m_flushTimer.stop();
    if (m_batch.isEmpty())
        return;
    if (!m_store.isConnected()) {
        // At most one attempt a second, however fast messages come.
        if (m_lastAttempt.isValid() && m_lastAttempt.elapsed() < 1000) {
            m_flushTimer.start(int(1000 - m_lastAttempt.elapsed()));
            return;
        }
        m_lastAttempt.start();
        QString error;
        if (!m_store.connect(&error)) {
            if (!m_dbDown || error != m_lastDbError)
                report(QStringLiteral("PostgreSQL not reachable (%1); retrying every second").arg(error));
            m_dbDown = true;
            m_lastDbError = error;
            m_flushTimer.start(1000);
            return;
        }
        if (m_dbDown)
            report(QStringLiteral("PostgreSQL connected again"));
        m_dbDown = false;
    }
    QElapsedTimer t;
    t.start();
    QString error;
    PgStore::Result result = m_store.write(m_batch, &error);
    if (result == PgStore::Result::Rejected) {
        // The server refused something in the batch: write its messages one at a time, so
        // only the one it refuses is reported and passed over.
        report(QStringLiteral("PostgreSQL refused a batch (%1); writing it message by message").arg(error));
        result = PgStore::Result::Committed;
        // Statuses and seen-times alone first, then each record and event row.
        Batch part;
        part.statuses = m_batch.statuses;
        part.seen = m_batch.seen;
        part.messages = 1;
        if (m_store.write(part, &error) == PgStore::Result::ConnectionLost)
            result = PgStore::Result::ConnectionLost;
        auto rows = [&](const QByteArray &copy, bool records) {
            for (const QByteArray &line : copy.split('\n')) {
                if (line.isEmpty() || result == PgStore::Result::ConnectionLost)
                    continue;
                Batch one;
                (records ? one.recordCopy : one.eventCopy) = line + '\n';
                (records ? one.records : one.events) = 1;
                one.messages = 1;
                const PgStore::Result r = m_store.write(one, &error);
                if (r == PgStore::Result::ConnectionLost)
                    result = r;
                else if (r == PgStore::Result::Rejected) {
                    ++m_counters.bad;
                    report(QStringLiteral("PostgreSQL refused a row (%1): %2").arg(error, QString::fromUtf8(line)));
                }
            }
        };
        rows(m_batch.recordCopy, true);
        rows(m_batch.eventCopy, false);
    }
    m_counters.writeMs += t.elapsed();
    if (result == PgStore::Result::ConnectionLost) {
        report(QStringLiteral("PostgreSQL connection lost (%1); keeping %2 messages and retrying")
                   .arg(error).arg(m_batch.messages));
        m_lastAttempt.start();
        m_dbDown = true;
        m_lastDbError = error;
        m_flushTimer.start(1000);
        return;
    }
    for (const quint16 id : std::as_const(m_acks))
        m_broker.ack(id);
    const int n = m_batch.messages;
    m_counters.committed += n;
    m_counters.records += m_batch.records;
    m_counters.events += m_batch.events;
    ++m_counters.batches;
    m_acks.clear();
    m_batch.clear();
    if (m_options.verbose)
        report(QStringLiteral("committed %1 messages").arg(n));
    Q_EMIT committed(n);
}
