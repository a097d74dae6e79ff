// The collector against database faults, with a real PostgreSQL 15, a real mosquitto and the
// real qzcollect logged in as a role of its own (not a superuser, so permissions count):
//  - errors that say nothing about the rows (a permission taken away, a read-only server, a
//    lock time-out) keep the batch: nothing stored meanwhile, nothing acknowledged (a
//    collector killed during the fault loses nothing), reported once, all stored after;
//  - rows PostgreSQL refuses as data go to qz_rejected, and only they: the other rows and
//    statuses of their batch are written (a dead station's last will among them);
//  - qz_rejected keeps the newest RejectedKeepRows messages;
//  - while the writer waits, the collector stops reading once the next batch is full: the
//    broker keeps the rest, the collector's memory stays flat.

#include "Collector.h"
#include "CollectorFixture.h"
#include "SiteServers.h"

#include <QTemporaryDir>
#include <QtTest>
#include <libpq-fe.h>

using namespace collectorfixture;

namespace {
const QString Role = QStringLiteral("qzcollector");
}

class TestCollectDbFaults : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    PostgresServer m_pg;
    MosquittoServer m_broker;
    std::unique_ptr<CollectorProcess> m_collector;
    Publisher m_station;

    QStringList collectorArgs() const
    {
        // A lock waited for longer than a second is an error (55P03), as a site may set it.
        return {QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(m_broker.port()), QStringLiteral("--db"),
                m_pg.conninfo(Role, QStringLiteral("options=-c%20lock_timeout%3D1000")), QStringLiteral("--client-id"),
                QStringLiteral("faults")};
    }
    void startCollector()
    {
        const int before = m_collector->count(QStringLiteral("subscribed at"));
        m_collector->start(collectorArgs());
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(QStringLiteral("subscribed at")), before + 1, 15000);
    }
    QString sql(const QString &statement)
    {
        QString error;
        const QString value = m_pg.scalar(statement, &error);
        if (!error.isEmpty())
            qWarning().noquote() << statement << error;
        return value;
    }
    int stored(const QString &station)
    {
        return sql(QStringLiteral("SELECT count(*) FROM qz_record WHERE station = '%1'").arg(station)).toInt();
    }
    void publishRecords(const QString &station, int from, int to, double value = 20.5)
    {
        for (int i = from; i < to; ++i)
            QVERIFY(m_station.publish(QStringLiteral("qz/%1/record").arg(station), recordPayload(i, value)));
    }

    // A session of its own that holds a lock on qz_record (and counts while it does).
    struct LockHolder {
        PGconn *conn = nullptr;
        explicit LockHolder(const QString &conninfo)
        {
            conn = PQconnectdb(conninfo.toUtf8().constData());
            PQclear(PQexec(conn, "BEGIN"));
            PGresult *r = PQexec(conn, "LOCK TABLE qz_record IN ACCESS EXCLUSIVE MODE");
            ok = PQresultStatus(r) == PGRES_COMMAND_OK;
            PQclear(r);
        }
        int count(const QString &station)
        {
            PGresult *r = PQexec(conn, QStringLiteral("SELECT count(*) FROM qz_record WHERE station = '%1'").arg(station).toUtf8().constData());
            const int n = PQresultStatus(r) == PGRES_TUPLES_OK ? atoi(PQgetvalue(r, 0, 0)) : -1;
            PQclear(r);
            return n;
        }
        void release()
        {
            if (conn) {
                PQclear(PQexec(conn, "COMMIT"));
                PQfinish(conn);
            }
            conn = nullptr;
        }
        ~LockHolder() { release(); }
        bool ok = false;
    };

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_pg.start(&error), qPrintable(error));
        QVERIFY2(m_broker.start(&error), qPrintable(error));
        m_pg.query(QStringLiteral("CREATE ROLE %1 LOGIN").arg(Role), &error);
        m_pg.query(QStringLiteral("GRANT CREATE ON SCHEMA public TO %1").arg(Role), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        m_collector = std::make_unique<CollectorProcess>(m_tmp.filePath(QStringLiteral("collector.log")));
        startCollector();
        QTRY_VERIFY_WITH_TIMEOUT(m_collector->log().contains(QStringLiteral("schema ready")), 10000);
        QVERIFY(m_station.start(m_broker.host(), m_broker.port(), QStringLiteral("faults-publisher")));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "collector:\n" << m_collector->log() << "\nbroker:\n" << m_broker.log();
    }

    void cleanupTestCase()
    {
        m_station.link().stop();
        if (m_collector)
            m_collector->terminate();
    }

    void permissionDenied()
    {
        publishRecords(QStringLiteral("perm"), 0, 3);
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("perm")), 3, 10000);

        // The collector's role may no longer insert: the batch waits, reported once.
        sql(QStringLiteral("REVOKE INSERT ON qz_record FROM %1").arg(Role));
        publishRecords(QStringLiteral("perm"), 3, 6);
        QTest::qWait(3500); // tries at 0, 1 and 3 s
        QCOMPARE(stored(QStringLiteral("perm")), 3);
        QCOMPARE(m_collector->count(QStringLiteral("SQLSTATE 42501")), 1);
        // Nothing was acknowledged: a collector killed now leaves it all with the broker.
        m_collector->kill9();
        sql(QStringLiteral("GRANT INSERT ON qz_record TO %1").arg(Role));
        startCollector();
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("perm")), 6, 15000);

        // Again, and the permission comes back while the collector waits: it carries on by itself.
        sql(QStringLiteral("REVOKE INSERT ON qz_record FROM %1").arg(Role));
        publishRecords(QStringLiteral("perm"), 6, 9);
        QTest::qWait(2500);
        QCOMPARE(stored(QStringLiteral("perm")), 6);
        sql(QStringLiteral("GRANT INSERT ON qz_record TO %1").arg(Role));
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("perm")), 9, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_collector->count(QStringLiteral("PostgreSQL takes the batches again")), 1, 5000);
        QCOMPARE(m_collector->count(QStringLiteral("SQLSTATE 42501")), 2);
        // None of it was taken for bad data.
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_rejected")), QStringLiteral("0"));
        QCOMPARE(sql(QStringLiteral("SELECT count(DISTINCT datim) FROM qz_record WHERE station = 'perm'")), QStringLiteral("9"));
    }

    void readOnlyServer()
    {
        // As after a failover onto a standby: every transaction read-only (25006).
        sql(QStringLiteral("ALTER SYSTEM SET default_transaction_read_only = on"));
        sql(QStringLiteral("SELECT pg_reload_conf()"));
        QTest::qWait(1000); // the server's sessions take the reload in
        publishRecords(QStringLiteral("ro"), 0, 3);
        QTest::qWait(3500);
        QCOMPARE(stored(QStringLiteral("ro")), 0);
        QCOMPARE(m_collector->count(QStringLiteral("SQLSTATE 25006")), 1);
        sql(QStringLiteral("ALTER SYSTEM RESET default_transaction_read_only"));
        sql(QStringLiteral("SELECT pg_reload_conf()"));
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("ro")), 3, 20000);
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_rejected")), QStringLiteral("0"));
    }

    void lockTimeout()
    {
        LockHolder lock(m_pg.conninfo());
        QVERIFY(lock.ok);
        publishRecords(QStringLiteral("lock"), 0, 3);
        QTest::qWait(3500);
        QCOMPARE(lock.count(QStringLiteral("lock")), 0);
        QCOMPARE(m_collector->count(QStringLiteral("SQLSTATE 55P03")), 1);
        lock.release();
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("lock")), 3, 20000);
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_rejected")), QStringLiteral("0"));
    }

    void dataErrorsRefuseOnlyTheirRows()
    {
        // Rules a site might add: PostgreSQL refuses such rows as data (23514).
        sql(QStringLiteral("ALTER TABLE qz_record ADD CONSTRAINT test_no666 CHECK (aa1 IS DISTINCT FROM 666)"));
        sql(QStringLiteral("ALTER TABLE qz_station ADD CONSTRAINT test_nobad CHECK (version IS DISTINCT FROM 'bad')"));
        // All of the burst in one batch: the writer is held on the batch before it.
        {
            LockHolder lock(m_pg.conninfo());
            QVERIFY(lock.ok);
            publishRecords(QStringLiteral("data"), 0, 1);
            QTest::qWait(1500);
            publishRecords(QStringLiteral("data"), 1, 2, 1.0);
            publishRecords(QStringLiteral("data"), 2, 3, 666.0);
            publishRecords(QStringLiteral("data"), 3, 4, 3.0);
            QVERIFY(m_station.publish(QStringLiteral("qz/data-x/status"), R"({"station":"data-x","online":true,"version":"bad"})"));
            QVERIFY(m_station.publish(QStringLiteral("qz/data-y/status"), R"({"station":"data-y","online":false})"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("data")), 3, 20000);
        QCOMPARE(sql(QStringLiteral("SELECT string_agg(aa1::text, ',' ORDER BY datim) FROM qz_record WHERE station = 'data'")),
                 QStringLiteral("20.5,1,3"));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT online FROM qz_station WHERE name = 'data-y'")), QStringLiteral("f"), 5000);
        // The refused ones, with their message and PostgreSQL's reason.
        const QList<QStringList> rejected = m_pg.query(
            QStringLiteral("SELECT topic, convert_from(payload, 'UTF8'), error, station FROM qz_rejected ORDER BY id"));
        QCOMPARE(rejected.size(), 2);
        QCOMPARE(rejected[0][0], QStringLiteral("qz/data/record"));
        QCOMPARE(rejected[0][1].toUtf8(), recordPayload(2, 666.0));
        QVERIFY2(rejected[0][2].contains(QStringLiteral("SQLSTATE 23514")), qPrintable(rejected[0][2]));
        QCOMPARE(rejected[0][3], QStringLiteral("data"));
        QCOMPARE(rejected[1][0], QStringLiteral("qz/data-x/status"));
        QVERIFY2(rejected[1][2].contains(QStringLiteral("SQLSTATE 23514")), qPrintable(rejected[1][2]));
        QCOMPARE(sql(QStringLiteral("SELECT coalesce(version, 'none') FROM qz_station WHERE name = 'data-x'")), QStringLiteral("none"));
        // Data errors are no fault to wait out; they were counted and logged.
        QVERIFY(m_collector->count(QStringLiteral("SQLSTATE 23514")) >= 2);
        QCOMPARE(m_collector->count(QStringLiteral("cannot take the batch (SQLSTATE 23514")), 0);
        sql(QStringLiteral("ALTER TABLE qz_record DROP CONSTRAINT test_no666"));
        sql(QStringLiteral("ALTER TABLE qz_station DROP CONSTRAINT test_nobad"));

        // The summary at the end says how many went to qz_rejected and were written row by row.
        QCOMPARE(m_collector->terminate(), 0);
        QVERIFY2(m_collector->log().contains(QStringLiteral("2 refused into qz_rejected")), qPrintable(m_collector->log()));
        QVERIFY(m_collector->log().contains(QStringLiteral("1 written row by row")));
        startCollector();
    }

    void readingStopsWhileTheWriterWaits()
    {
        // A collector of its own (in this process, to look inside) with batches of 5, the only
        // one writing meanwhile.
        QCOMPARE(m_collector->terminate(), 0);
        Collector::Options o;
        o.broker.host = m_broker.host();
        o.broker.port = m_broker.port();
        o.broker.connect.clientId = QStringLiteral("faults-small-batches");
        o.broker.connect.receiveMaximum = 1000;
        o.broker.filters = {QStringLiteral("qz/small/record")};
        o.conninfo = m_pg.conninfo(Role, QStringLiteral("options=-c%20lock_timeout%3D1000"));
        o.maxBatch = 5;
        Collector collector(o);
        QSignalSpy committed(&collector, &Collector::committed);
        collector.start();
        QTRY_VERIFY_WITH_TIMEOUT(collector.isSubscribed(), 15000); // the session exists: the broker keeps what comes
        publishRecords(QStringLiteral("small"), 0, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!committed.isEmpty(), 15000);
        {
            LockHolder lock(m_pg.conninfo());
            QVERIFY(lock.ok);
            publishRecords(QStringLiteral("small"), 1, 41);
            // One batch with the writer, the next one full: no more is taken from the broker.
            QTRY_VERIFY_WITH_TIMEOUT(collector.isReadingPaused(), 10000);
            QTest::qWait(2500); // two retries of the writer
            QVERIFY(collector.isReadingPaused());
            QVERIFY2(collector.counters().messages <= 1 + 5 + 5, qPrintable(QString::number(collector.counters().messages)));
            QCOMPARE(lock.count(QStringLiteral("small")), 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(stored(QStringLiteral("small")), 41, 30000);
        QVERIFY(!collector.isReadingPaused());
        QCOMPARE(collector.counters().messages, qint64(41));
        QCOMPARE(collector.counters().rejected, qint64(0));
        collector.stop();
        startCollector();
    }

    void deadLettersBounded()
    {
        sql(QStringLiteral("INSERT INTO qz_rejected (topic, payload, error) "
                           "SELECT 'filler', '\\x00', 'filler' FROM generate_series(1, 10000)"));
        const QString firstFiller = sql(QStringLiteral("SELECT min(id) FROM qz_rejected WHERE topic = 'filler'"));
        QVERIFY(m_station.publish(QStringLiteral("qz/bound/record"), "not json"));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT count(*) FROM qz_rejected WHERE topic = 'qz/bound/record'")),
                                  QStringLiteral("1"), 10000);
        QVERIFY(sql(QStringLiteral("SELECT count(*) FROM qz_rejected")).toInt() <= 10000);
        QVERIFY(sql(QStringLiteral("SELECT min(id) FROM qz_rejected")).toLongLong() > firstFiller.toLongLong());
        QCOMPARE(sql(QStringLiteral("SELECT convert_from(payload, 'UTF8') FROM qz_rejected WHERE topic = 'qz/bound/record'")),
                 QStringLiteral("not json"));
        QVERIFY(sql(QStringLiteral("SELECT error FROM qz_rejected WHERE topic = 'qz/bound/record'")).startsWith(QStringLiteral("not JSON")));
        QVERIFY(m_collector->log().contains(QStringLiteral("refused a message on qz/bound/record into qz_rejected: not JSON")));
    }
};

QTEST_GUILESS_MAIN(TestCollectDbFaults)
#include "tst_collect_dbfaults.moc"
