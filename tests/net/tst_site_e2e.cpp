// End to end with the real components: the station's SiteLink publishes from a real wwdd and
// journal to a private mosquitto, the real qzcollect writes into a private PostgreSQL 15.
// The broker is killed (-9) and restarted while records are stored, the collector is killed
// while the station goes on; afterwards every record is in qz_record once, with its values.

#include "BrokerWatcher.h"
#include "SiteFixture.h"
#include "SiteLink.h"
#include "SiteServers.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using namespace sitefixture;

class TestSiteE2e : public QObject {
    Q_OBJECT

    QTemporaryDir m_tmp;
    PostgresServer m_pg;
    MosquittoServer m_broker;
    std::unique_ptr<QProcess> m_collector;

    void startCollector()
    {
        m_collector = std::make_unique<QProcess>();
        m_collector->setProcessChannelMode(QProcess::MergedChannels);
        m_collector->setStandardOutputFile(m_tmp.filePath(QStringLiteral("collector.log")), QIODevice::Append);
        m_collector->start(QStringLiteral(QZ_BINARY_DIR "/tools/qzcollect/qzcollect"),
                           {QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(m_broker.port()),
                            QStringLiteral("--db"), m_pg.conninfo()});
        QVERIFY(m_collector->waitForStarted(5000));
    }

    // The broker keeps messages only for a session that exists: the collector subscribes first.
    void waitForSubscription(int times)
    {
        QTRY_COMPARE_WITH_TIMEOUT(collectorLog().count(QStringLiteral("subscribed at")), times, 10000);
    }

    QString collectorLog() const
    {
        QFile f(m_tmp.filePath(QStringLiteral("collector.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    int count(const QString &table)
    {
        return m_pg.scalar(QStringLiteral("SELECT count(*) FROM %1").arg(table)).toInt();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_pg.start(&error), qPrintable(error));
        QVERIFY2(m_broker.start(&error), qPrintable(error));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "collector:\n" << collectorLog() << "\nbroker:\n" << m_broker.log();
    }

    void cleanupTestCase()
    {
        if (m_collector && m_collector->state() != QProcess::NotRunning) {
            m_collector->terminate();
            m_collector->waitForFinished(10000);
        }
    }

    void offWithoutHost()
    {
        const QString home = m_tmp.filePath(QStringLiteral("off"));
        QDir().mkpath(home);
        QFile ini(home + QStringLiteral("/KTcom.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[communication]\r\nCOM=COM1\r\n[mqtt]\r\nPort=1883\r\nStation=x\r\n");
        ini.close();
        const int descriptors = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
        SiteLink link;
        link.setChannels(Option, SysParams.ChannelCount);
        link.start(home);
        QVERIFY(!link.enabled());
        QVERIFY(link.stateText().startsWith(QStringLiteral("站点网络：未启用")));
        link.answerDecoded(AllRecord, SysParams.ChannelCount);
        link.recordStored();
        link.setCommState(StationComm::Ok);
        QTest::qWait(100);
        // No socket, no cursor file, nothing opened at all.
        QCOMPARE(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size(), descriptors);
        QVERIFY(!QFile::exists(cursorFilePath(home)));
        link.shutdown();
    }

    void deadBrokerKeepsRetrying()
    {
        const QString home = m_tmp.filePath(QStringLiteral("dead"));
        QDir().mkpath(home);
        QFile ini(home + QStringLiteral("/KTcom.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[mqtt]\r\nHost=127.0.0.1\r\nPort=%1\r\n").arg(freeLoopbackPort()).toLatin1());
        ini.close();
        SiteLink link;
        QSignalSpy states(&link, &SiteLink::stateChanged);
        link.setChannels(Option, SysParams.ChannelCount);
        link.start(home);
        QVERIFY(link.enabled());
        QVERIFY(link.stateText().contains(QStringLiteral("正在连接")));
        QTRY_VERIFY_WITH_TIMEOUT(link.stateText().contains(QStringLiteral("连接中断，正在重试")), 5000);
        QVERIFY(link.stateText().contains(QStringLiteral("Connection refused")));
        QVERIFY(!link.isConnected());
        link.answerDecoded(AllRecord, SysParams.ChannelCount); // dropped: live values wait for nobody
        link.recordStored();
        link.shutdown();
        QVERIFY(!link.isConnected());
    }

    void recordsEventsAndStatusSurviveOutages()
    {
        resetSharedState();
        const QString home = m_tmp.filePath(QStringLiteral("station"));
        QDir().mkpath(home + QStringLiteral("/Data"));
        QFile ini(home + QStringLiteral("/KTcom.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[communication]\r\nCOM=COM1\r\n[mqtt]\r\nHost=127.0.0.1\r\nPort=%1\r\nStation=e2e-a\r\n")
                      .arg(m_broker.port())
                      .toLatin1());
        ini.close();
        ensureHistoryTable(home);
        db::TTable wwdd;
        wwdd.setDatabaseName(home);
        wwdd.setTableName(HistoryTableName);
        const QDateTime t0(QDate(2026, 3, 1), QTime(8, 0));
        for (int i = 0; i < 150; ++i)
            storeRecord(wwdd, t0.addSecs(i), 16, 20.0f + float(i) / 8.0f);
        // The clock stepped back: these come later with earlier times.
        for (int i = 0; i < 50; ++i)
            storeRecord(wwdd, t0.addSecs(-3600 + i), 16, 40.0f);
        for (int i = 0; i < 5; ++i)
            QVERIFY(addEvent(home, QStringLiteral("2026-03-01T08:00:0%1.000").arg(i), QStringLiteral("上限报警"), i + 1, 81.25));
        for (int k = 0; k < 16; ++k)
            Option.Names[k] = QStringLiteral("油储温度%1").arg(k + 1);
        SysParams.ChannelCount = 16;

        startCollector();
        waitForSubscription(1);
        // A live watcher, as a control-room screen would be.
        MqttSubscriber watcher(brokerWatcher(m_broker, QStringLiteral("e2e-watch"), {QStringLiteral("qz/+/live")}));
        QSignalSpy live(&watcher, &MqttSubscriber::message);
        QSignalSpy watching(&watcher, &MqttSubscriber::ready);
        watcher.start();

        SiteLink link;
        QSignalSpy states(&link, &SiteLink::stateChanged);
        link.setChannels(Option, SysParams.ChannelCount);
        link.start(home);
        QVERIFY(link.enabled());
        QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 10000);
        QVERIFY(link.stateText().contains(QStringLiteral("已连接")));
        QVERIFY(!states.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("qz_record")), 200, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("qz_event")), 5, 5000);
        QCOMPARE(m_pg.scalar(QStringLiteral("SELECT online::text || comm || channel_count FROM qz_station WHERE name = 'e2e-a'")),
                 QStringLiteral("trueNONE16"));
        QCOMPARE(m_pg.scalar(QStringLiteral("SELECT channels->0->>'name' FROM qz_station WHERE name = 'e2e-a'")),
                 QStringLiteral("油储温度1"));

        // Live values reach a subscriber; an interrupted channel is null and "中断".
        QTRY_VERIFY_WITH_TIMEOUT(!watching.isEmpty(), 5000);
        AllRecord.Pv[2] = InterruptionMarker;
        link.answerDecoded(AllRecord, SysParams.ChannelCount);
        QTRY_VERIFY_WITH_TIMEOUT(!live.isEmpty(), 5000);
        QCOMPARE(live.first().at(0).toString(), QStringLiteral("qz/e2e-a/live"));
        QVERIFY(live.first().at(1).toByteArray().contains("null"));
        QVERIFY(live.first().at(1).toByteArray().contains("中断"));

        // The broker dies; the station goes on storing and nothing waits on the network.
        m_broker.kill9();
        QTRY_VERIFY_WITH_TIMEOUT(!link.isConnected(), 5000);
        QVERIFY(link.stateText().contains(QStringLiteral("连接中断")));
        for (int i = 0; i < 30; ++i) {
            storeRecord(wwdd, t0.addSecs(1000 + i), 16, 50.0f);
            link.recordStored();
        }
        link.setCommState(StationComm::Ok);
        QString error;
        QVERIFY2(m_broker.restart(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(link.isConnected(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("qz_record")), 230, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_pg.scalar(QStringLiteral("SELECT comm FROM qz_station WHERE name = 'e2e-a'")),
                                  QStringLiteral("OK"), 5000);

        // The collector dies; the broker keeps the messages of its session.
        ::kill(pid_t(m_collector->processId()), SIGKILL);
        m_collector->waitForFinished(5000);
        for (int i = 0; i < 20; ++i) {
            storeRecord(wwdd, t0.addSecs(2000 + i), 16, 60.0f);
            link.recordStored();
        }
        QVERIFY(addEvent(home, QStringLiteral("2026-03-01T09:00:00.000"), QStringLiteral("通讯中断"), 0, 0));
        link.eventJournaled();
        QTRY_COMPARE_WITH_TIMEOUT(link.recordOutbox()->acked().position, qint64(250), 10000);
        startCollector();
        QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("qz_record")), 250, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("qz_event")), 6, 5000);

        // Exactly once, with the stored values (channel 3 interrupted: NULL; 17 … 32: NULL).
        QCOMPARE(m_pg.scalar(QStringLiteral("SELECT count(DISTINCT datim) FROM qz_record WHERE station = 'e2e-a'")),
                 QStringLiteral("250"));
        const QString at = isoWithOffset(t0.addSecs(10));
        const QList<QStringList> rows = m_pg.query(
            QStringLiteral("SELECT aa1, aa3 IS NULL, aa16, aa17 IS NULL FROM qz_record WHERE datim = '%1'").arg(at));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0][0].toFloat(), 20.0f + 10.0f / 8.0f + 0.1f);
        QCOMPARE(rows[0][1], QStringLiteral("t"));
        QCOMPARE(rows[0][2].toFloat(), 20.0f + 10.0f / 8.0f + 1.6f);
        QCOMPARE(rows[0][3], QStringLiteral("t"));
        QCOMPARE(m_pg.scalar(QStringLiteral("SELECT count(*) FROM qz_record WHERE aa1 = real '40.1'")), QStringLiteral("50"));
        QCOMPARE(m_pg.scalar(QStringLiteral("SELECT kind || value FROM qz_event WHERE id = 3")), QStringLiteral("上限报警81.25"));

        // A history table another program holds in SQLite's exclusive locking mode cannot be
        // read: the link state says so, and sending goes on once it is free again.
        storeRecord(wwdd, t0.addSecs(3000), 16, 70.0f);
        wwdd.close(); // the exclusive mode needs the file to itself
        {
            sqlite3 *holder = nullptr;
            QCOMPARE(sqlite3_open(QFile::encodeName(historyFilePath(home)).constData(), &holder), SQLITE_OK);
            QCOMPARE(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr),
                     SQLITE_OK);
            link.recordStored();
            QTRY_VERIFY_WITH_TIMEOUT(link.stateText().contains(QStringLiteral("暂时无法读取历史记录")), 10000);
            sqlite3_close(holder);
        }
        link.recordStored();
        QTRY_COMPARE_WITH_TIMEOUT(count(QStringLiteral("qz_record")), 251, 10000);
        QVERIFY(!link.stateText().contains(QStringLiteral("暂时无法读取历史记录")));

        // A clean shutdown leaves "offline" behind, retained.
        link.shutdown();
        QTRY_COMPARE_WITH_TIMEOUT(m_pg.scalar(QStringLiteral("SELECT online FROM qz_station WHERE name = 'e2e-a'")),
                                  QStringLiteral("f"), 5000);
        QCOMPARE(m_pg.scalar(QStringLiteral("SELECT channel_count FROM qz_station WHERE name = 'e2e-a'")), QStringLiteral("16"));
        watcher.stop();

        // The collector ends cleanly on SIGTERM and says what it did.
        m_collector->terminate();
        QVERIFY(m_collector->waitForFinished(15000));
        QCOMPARE(m_collector->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_collector->exitCode(), 0);
        QVERIFY(collectorLog().contains(QStringLiteral("qzcollect: ended;")));
    }
};

QTEST_GUILESS_MAIN(TestSiteE2e)
#include "tst_site_e2e.moc"
