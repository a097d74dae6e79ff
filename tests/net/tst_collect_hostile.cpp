// The collector against hostile messages and brokers, with a real PostgreSQL 15, the real
// qzcollect, and either a real mosquitto or a scripted broker for what mosquitto would not do:
//  - a message larger than the collector takes never stalls it: mosquitto keeps it back
//    (Maximum Packet Size in CONNECT); a broker that sends it anyway gets it acknowledged
//    and finds it in qz_rejected, as every message that cannot be decoded;
//  - every message is checked on its own: one bad message spoils no other;
//  - a broker that accepts the connection and says nothing is left after 10 s; the limits a
//    broker sets in CONNACK are kept (keep-alive, QoS).

#include "CollectorFixture.h"
#include "ScriptedBroker.h"
#include "SiteServers.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace collectorfixture;

class TestCollectHostile : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    PostgresServer m_pg;
    MosquittoServer m_broker;
    std::unique_ptr<CollectorProcess> m_collector;
    std::unique_ptr<CollectorProcess> m_scripted; // a collector on a scripted broker

    QString sql(const QString &statement) { return m_pg.scalar(statement); }
    int rejected(const QString &topic)
    {
        return sql(QStringLiteral("SELECT count(*) FROM qz_rejected WHERE topic = '%1'").arg(topic)).toInt();
    }
    QString rejectedError(const QString &topic)
    {
        return sql(QStringLiteral("SELECT error FROM qz_rejected WHERE topic = '%1'").arg(topic));
    }
    void startScriptedCollector(const ScriptedBroker &broker, const QString &name)
    {
        m_scripted = std::make_unique<CollectorProcess>(m_tmp.filePath(name + QStringLiteral(".log")));
        m_scripted->start({QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(broker.port()),
                           QStringLiteral("--db"), m_pg.conninfo(), QStringLiteral("--client-id"), name});
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_pg.start(&error), qPrintable(error));
        QVERIFY2(m_broker.start(&error), qPrintable(error));
        m_collector = std::make_unique<CollectorProcess>(m_tmp.filePath(QStringLiteral("collector.log")));
        m_collector->start({QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(m_broker.port()),
                            QStringLiteral("--db"), m_pg.conninfo(), QStringLiteral("--client-id"), QStringLiteral("hostile")});
        QTRY_VERIFY_WITH_TIMEOUT(m_collector->log().contains(QStringLiteral("subscribed at")), 15000);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            qWarning().noquote() << "collector:\n" << m_collector->log() << "\nbroker:\n" << m_broker.log();
            if (m_scripted)
                qWarning().noquote() << "collector on the scripted broker:\n" << m_scripted->log();
        }
        m_scripted.reset();
    }

    void cleanupTestCase()
    {
        if (m_collector)
            QCOMPARE(m_collector->terminate(), 0);
    }

    void oversizedMessageDoesNotStall()
    {
        Publisher p;
        QVERIFY(p.start(m_broker.host(), m_broker.port(), QStringLiteral("big-publisher")));
        // 17 MiB, more than the collector's 16 MiB, to a topic it reads.
        QVERIFY(p.publish(QStringLiteral("qz/big/event"), QByteArray(17 << 20, 'x')));
        QVERIFY(p.publish(QStringLiteral("qz/after/record"), recordPayload(1, 7.5)));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT aa1 FROM qz_record WHERE station = 'after'")), QStringLiteral("7.5"), 15000);
        // The broker kept it back (it never reached the collector) and nothing was dropped.
        QCOMPARE(rejected(QStringLiteral("qz/big/event")), 0);
        QCOMPARE(m_collector->count(QStringLiteral("broker connection lost")), 0);
        QVERIFY(p.publish(QStringLiteral("qz/after/record"), recordPayload(2, 8.5)));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT count(*) FROM qz_record WHERE station = 'after'")), QStringLiteral("2"), 10000);
        p.link().stop();
    }

    void badMessagesEachOnTheirOwn()
    {
        Publisher p;
        QVERIFY(p.start(m_broker.host(), m_broker.port(), QStringLiteral("bad-publisher")));
        QVERIFY(p.publish(QStringLiteral("qz/dead/status"), R"({"station":"dead","online":true,"comm":"OK"})"));
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT online FROM qz_station WHERE name = 'dead'")), QStringLiteral("t"), 10000);

        const QString longStation = QStringLiteral("qz/") + QString(3000, u'n') + QStringLiteral("/status");
        struct Bad {
            QString topic;
            QByteArray payload;
            int qos;
            QString reason;
        };
        const QList<Bad> bad = {
            {QStringLiteral("qz/bad1/record"), R"({"datim":"2026-02-31T08:00:00.000+08:00","values":[1]})", 1, QStringLiteral("real time")},
            {QStringLiteral("qz/bad2/record"), R"({"datim":"0000-01-01T08:00:00.000+08:00","values":[1]})", 1, QStringLiteral("real time")},
            {QStringLiteral("qz/bad3/event"),
             R"({"id":1,"time":"2026-03-01T08:00:00Z","source":"s","name":"a\u0000b","kind":"k","transition":"t"})", 1,
             QStringLiteral("NUL")},
            {longStation, R"({"online":true})", 1, QStringLiteral("station name")},
            {QStringLiteral("qz/bad5/record"), recordPayload(5, 1.0), 0, QStringLiteral("QoS 0")},
            {QStringLiteral("qz/bad6/status"), R"({"station":"someone-else","online":true})", 1, QStringLiteral("another station")},
            {QStringLiteral("qz/bad7/event"), "not json", 1, QStringLiteral("not JSON")},
            {QStringLiteral("qz/bad8/event"), R"({"id":9007199254740994,"time":"2026-03-01T08:00:00Z"})", 1, QStringLiteral("2^53")},
        };
        for (const Bad &b : bad)
            QVERIFY(p.publish(b.topic, b.payload, b.qos));
        QVERIFY(p.publish(QStringLiteral("qz/fine/record"), recordPayload(1, 2.5)));
        // The dead station's last will, among the bad ones.
        QVERIFY(p.publish(QStringLiteral("qz/dead/status"), R"({"station":"dead","online":false})"));

        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT online FROM qz_station WHERE name = 'dead'")), QStringLiteral("f"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(sql(QStringLiteral("SELECT aa1 FROM qz_record WHERE station = 'fine'")), QStringLiteral("2.5"), 10000);
        QCOMPARE(sql(QStringLiteral("SELECT comm FROM qz_station WHERE name = 'dead'")), QStringLiteral("OK")); // kept
        for (const Bad &b : bad) {
            QTRY_COMPARE_WITH_TIMEOUT(rejected(b.topic), 1, 5000);
            QVERIFY2(rejectedError(b.topic).contains(b.reason), qPrintable(b.topic.left(40) + u' ' + rejectedError(b.topic)));
            QCOMPARE(sql(QStringLiteral("SELECT payload = '\\x%1'::bytea FROM qz_rejected WHERE topic = '%2'")
                             .arg(QString::fromLatin1(b.payload.toHex()), b.topic)),
                     QStringLiteral("t"));
        }
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_record WHERE station LIKE 'bad%'")), QStringLiteral("0"));
        // Logged with what came from outside escaped (the NUL event's reason, the long topic cut).
        const QString log = m_collector->log();
        QVERIFY(log.contains(QStringLiteral("refused a message on qz/bad7/event into qz_rejected: not JSON")));
        QVERIFY(log.contains(QStringLiteral("… (")));
        for (const QString &line : log.split(u'\n'))
            QVERIFY2(line.size() <= 1200, qPrintable(line.left(100)));
        p.link().stop();
    }

    void brokerIgnoringTheLimits()
    {
        // A broker that announces its own limits, then sends what the collector said it would
        // not take, a topic that is not UTF-8, broken properties and a record with QoS 0.
        ScriptedBroker broker;
        QVERIFY(broker.listen());
        broker.connackProperties = QByteArray::fromHex("130002" "210005" "27000186a0"); // keep-alive 2 s, receive max 5, 100000 bytes
        startScriptedCollector(broker, QStringLiteral("scripted-limits"));
        QTRY_COMPARE_WITH_TIMEOUT(broker.count(8), 1, 15000);
        const ScriptedBroker::Packet connect = broker.received().first();
        QCOMPARE(connect.type, quint8(1));
        QVERIFY(connect.body.contains(QByteArray::fromHex("2701000000"))); // Maximum Packet Size 16 MiB
        QTRY_VERIFY_WITH_TIMEOUT(m_scripted->log().contains(QStringLiteral("subscribed at")), 5000);

        broker.send(ScriptedBroker::publishPacket("qz/tank-a/event", QByteArray(17 << 20, 'x'), 1, 1));
        broker.send(ScriptedBroker::publishPacket("qz/\xff\xfe/record", recordPayload(1, 1.0), 1, 2));
        broker.send(ScriptedBroker::publishPacket("qz/tank-b/record", recordPayload(1, 1.0), 1, 3, QByteArray::fromHex("7f00")));
        broker.send(ScriptedBroker::publishPacket("qz/tank-c/record", recordPayload(1, 1.0), 0, 0));
        broker.send(ScriptedBroker::publishPacket("qz/tank-d/record", recordPayload(1, 4.25), 1, 5));
        // Each acknowledged once its batch is in, and the connection never dropped.
        QTRY_COMPARE_WITH_TIMEOUT(broker.pubacks().size(), 4, 20000);
        QCOMPARE(broker.pubacks(), (QList<quint16>{1, 2, 3, 5}));
        QCOMPARE(broker.connections(), 1);
        QCOMPARE(sql(QStringLiteral("SELECT aa1 FROM qz_record WHERE station = 'tank-d'")), QStringLiteral("4.25"));
        QCOMPARE(rejected(QStringLiteral("qz/tank-a/event")), 1);
        QVERIFY(rejectedError(QStringLiteral("qz/tank-a/event")).contains(QStringLiteral("maximum packet size")));
        QVERIFY2(rejectedError(QStringLiteral("qz/tank-a/event")).endsWith(QStringLiteral("(payload of 17825792 bytes, the first 65536 kept)")),
                 qPrintable(rejectedError(QStringLiteral("qz/tank-a/event"))));
        QCOMPARE(sql(QStringLiteral("SELECT length(payload) FROM qz_rejected WHERE topic = 'qz/tank-a/event'")), QStringLiteral("65536"));
        QCOMPARE(sql(QStringLiteral("SELECT count(*) FROM qz_rejected WHERE topic LIKE 'qz/%/record' AND error LIKE '%UTF-8%'")),
                 QStringLiteral("1"));
        QVERIFY(rejectedError(QStringLiteral("qz/tank-b/record")).contains(QStringLiteral("properties")));
        QVERIFY(rejectedError(QStringLiteral("qz/tank-c/record")).contains(QStringLiteral("QoS 0")));
        // The broker's keep-alive of 2 s is kept: a ping every second (with the collector's own
        // 30 s there would be one every 15 s).
        const int pings = broker.count(12);
        QTest::qWait(4000);
        QVERIFY2(broker.count(12) - pings >= 2, qPrintable(QString::number(broker.count(12) - pings)));
        QCOMPARE(m_scripted->terminate(), 0);
    }

    void silentBrokerIsLeft()
    {
        ScriptedBroker broker;
        QVERIFY(broker.listen());
        broker.answerConnect = false;
        QElapsedTimer t;
        t.start();
        startScriptedCollector(broker, QStringLiteral("scripted-silent"));
        QTRY_VERIFY_WITH_TIMEOUT(m_scripted->log().contains(QStringLiteral("no CONNACK from the broker within 10 s")), 25000);
        QVERIFY(t.elapsed() >= 10000);
        QVERIFY(broker.count(1) >= 1); // the CONNECT arrived; no CONNACK went back
        // And it tries again, a second later.
        QTRY_VERIFY_WITH_TIMEOUT(broker.connections() >= 2, 10000);
        QCOMPARE(m_scripted->terminate(), 0);
    }

    void brokerAllowingQos0Only()
    {
        ScriptedBroker broker;
        QVERIFY(broker.listen());
        broker.connackProperties = QByteArray::fromHex("2400"); // Maximum QoS 0
        startScriptedCollector(broker, QStringLiteral("scripted-qos0"));
        QTRY_VERIFY_WITH_TIMEOUT(broker.connections() >= 2, 15000);
        QVERIFY(m_scripted->log().contains(QStringLiteral("allows QoS 0 only")));
        QCOMPARE(broker.count(8), 0); // never subscribed
        QCOMPARE(m_scripted->terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCollectHostile)
#include "tst_collect_hostile.moc"
