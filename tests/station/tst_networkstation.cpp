// The station's truth over Ethernet: the core on its own thread with its real timers against
// qzsim behind TCP, as a serial device server (RTU over TCP) and as a Modbus TCP instrument. A
// healthy connection never shows ERROR; a gateway that stays connected but answers nothing shows
// ERROR within 3.5 s of the first unanswered request and interruption markers are stored; OK
// comes back within 2.5 s of the first answer; a gateway switched off and on again is found
// again by the core's reconnecting.
#include "DeviceAddress.h"
#include "Simulator.h"
#include "StationFiles.h"
#include "StationThread.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// What the core published, as the window would show it, and whether every refresh tick showed
// what the watch counter owes it: OK at a tick with an answer decoded since the last request,
// ERROR at the second tick after an unanswered request. Counted in the core's own ticks, this
// holds however the threads are scheduled; at the timers' periods (requests every 1500 ms,
// refresh every 1000 ms) it is ERROR within 3.5 s of the first unanswered request and OK
// within 2.5 s of the first answer.
struct Watch {
    int refreshes = 0;
    int ok = 0;
    int error = 0;
    int interrupted = 0;   // channel values at the marker, summed over refresh ticks
    qint64 lastPollMs = -1; // the core's own clock of its last request
    CommShown comm = CommShown::None;
    bool polled = false;
    bool answered = false;  // an answer decoded since the last request
    int ticksSincePoll = 0;
    QStringList late;       // refresh ticks that did not show what they owed
    void take(const StationSnapshot &s)
    {
        if (s.lastPoll.isValid())
            lastPollMs = s.lastPoll.toMSecsSinceEpoch();
        switch (s.reason) {
        case StationSnapshot::Reason::Poll:
            polled = true;
            answered = false;
            ticksSincePoll = 0;
            return;
        case StationSnapshot::Reason::Answer:
            answered = answered || s.answerBytes > 0;
            return;
        case StationSnapshot::Reason::Refresh:
            break;
        default:
            return;
        }
        comm = s.comm;
        ++refreshes;
        ++ticksSincePoll;
        ok += s.comm == CommShown::Ok;
        error += s.comm == CommShown::Error;
        for (int k = 1; k <= 16; ++k)
            interrupted += isInterrupted(s.record.Pv[k]);
        if (answered && s.comm != CommShown::Ok)
            late << QStringLiteral("%1 not OK after an answer").arg(s.time.toString(u"HH:mm:ss.zzz"));
        if (polled && !answered && ticksSincePoll >= 2 && s.comm != CommShown::Error)
            late << QStringLiteral("%1 not ERROR at the second tick after an unanswered request")
                        .arg(s.time.toString(u"HH:mm:ss.zzz"));
    }
};

qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

} // namespace

class TestNetworkStation : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rtuOverTcpTellsTheTruth() { tellsTheTruth(false); }
    void modbusTcpTellsTheTruth() { tellsTheTruth(true); }
    void gatewaySwitchedOffAndOn();

private:
    void tellsTheTruth(bool mbap);
};

void TestNetworkStation::tellsTheTruth(bool mbap)
{
    Simulator sim(simulatorProgram());
    QStringList args{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--channels"), QStringLiteral("16")};
    if (mbap)
        args << QStringLiteral("--mbap");
    QVERIFY(sim.start(args));
    QTemporaryDir home;
    writeFile(home.filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(sim.path()).toUtf8());
    writeFile(home.filePath(QStringLiteral("Sys_Para.Pf")), "16\r\n1000\r\n");
    const QString savedCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(home.path()));

    Watch watch;
    QStringList messages;
    QObject receiver;
    StationThread core(StationConfig{home.path(), true});
    core.start([&](Station &station) {
        QObject::connect(&station, &Station::snapshotPublished, &receiver, [&](const StationSnapshot &s) { watch.take(s); });
        QObject::connect(&station, &Station::messageRaised, &receiver, [&](const StationMessage &m) { messages << m.text; });
    });
    // Connecting in the background is no failure: no "打开串口错误" at start.
    QTRY_COMPARE_WITH_TIMEOUT(watch.comm, CommShown::Ok, 8000);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(u'\n')));

    // Half a minute of a healthy connection: OK at every refresh tick.
    watch.ok = watch.error = watch.interrupted = 0;
    const int before = watch.refreshes;
    const QDateTime healthyFrom = QDateTime::currentDateTime();
    QTest::qWait(30000);
    const QDateTime healthyTo = QDateTime::currentDateTime();
    QVERIFY2(watch.refreshes - before >= 28, qPrintable(QString::number(watch.refreshes - before)));
    QCOMPARE(watch.error, 0);
    QCOMPARE(watch.ok, watch.refreshes - before);
    QCOMPARE(watch.interrupted, 0);

    // The gateway keeps the connection and answers nothing.
    QVERIFY(sim.toggleAnswering());
    const qint64 switched = now();
    QTRY_VERIFY_WITH_TIMEOUT(watch.lastPollMs > switched + 100, 3000);
    const qint64 firstUnanswered = watch.lastPollMs;
    QTRY_COMPARE_WITH_TIMEOUT(watch.comm, CommShown::Error, 15000);
    const qint64 errorAfter = now() - firstUnanswered;
    qInfo("ERROR %lld ms after the first unanswered request", errorAfter);
    // Silent two storage periods beyond the error: the markers are stored.
    QTest::qWait(2 * 1000 + 500);

    QVERIFY(sim.toggleAnswering());
    const qint64 resumed = now();
    QTRY_VERIFY_WITH_TIMEOUT(watch.lastPollMs > resumed + 100, 3000);
    const qint64 firstAnswered = watch.lastPollMs;
    QTRY_COMPARE_WITH_TIMEOUT(watch.comm, CommShown::Ok, 15000);
    const qint64 okAfter = now() - firstAnswered;
    qInfo("OK %lld ms after the first answered request", okAfter);
    QTest::qWait(2 * 1000 + 500);

    const QString wwdd = home.filePath(QStringLiteral("wwdd.db"));
    const auto count = [&](const QString &where) {
        return sqlColumn(wwdd, QStringLiteral("select count(*) from wwdd where ") + where).value(0).toInt();
    };
    const QString healthy = QStringLiteral("datim between '%1' and '%2'")
                                .arg(healthyFrom.toString(Qt::ISODateWithMs), healthyTo.toString(Qt::ISODateWithMs));
    QVERIFY(count(healthy) >= 28);
    QCOMPARE(count(healthy + QStringLiteral(" and trim(aa1) = '-1000.000'")), 0);
    QVERIFY(count(QStringLiteral("datim > '%1' and trim(aa1) = '-1000.000'").arg(healthyTo.toString(Qt::ISODateWithMs))) > 0);
    QVERIFY2(watch.late.isEmpty(), qPrintable(watch.late.join(u'\n')));
    core.stop();
    QDir::setCurrent(savedCwd);
}

void TestNetworkStation::gatewaySwitchedOffAndOn()
{
    auto sim = std::make_unique<Simulator>(simulatorProgram());
    QVERIFY(sim->start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--channels"), QStringLiteral("16")}));
    const QString device = sim->path();
    DeviceAddress address;
    QVERIFY(parseDeviceAddress(device, &address));
    QTemporaryDir home;
    writeFile(home.filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(device).toUtf8());
    writeFile(home.filePath(QStringLiteral("Sys_Para.Pf")), "16\r\n1000\r\n");
    const QString savedCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(home.path()));

    Watch watch;
    QObject receiver;
    StationThread core(StationConfig{home.path(), true});
    core.start([&](Station &station) {
        QObject::connect(&station, &Station::snapshotPublished, &receiver, [&](const StationSnapshot &s) { watch.take(s); });
    });
    QTRY_COMPARE_WITH_TIMEOUT(watch.comm, CommShown::Ok, 8000);

    // Switched off: the connection goes, requests go unanswered, ERROR as for a lost line.
    const qint64 off = now();
    QCOMPARE(sim->stop(), 0);
    sim.reset();
    QTRY_COMPARE_WITH_TIMEOUT(watch.comm, CommShown::Error, 15000);
    qInfo("ERROR %lld ms after the simulator was stopped", now() - off);
    QTRY_VERIFY_WITH_TIMEOUT(!core.call([](Station &s) { return s.snapshot().portOpen; }), 5000);

    // Switched on again at the same address: the core's next attempt (at most 10 s apart)
    // connects and OK returns.
    Simulator again(simulatorProgram());
    QVERIFY(again.start({QStringLiteral("--tcp"), QString::number(address.port), QStringLiteral("--channels"), QStringLiteral("16")}));
    QTRY_COMPARE_WITH_TIMEOUT(watch.comm, CommShown::Ok, 10000 + 3000 + 2500);
    // The loss and the return are in the journal.
    QVERIFY2(watch.late.isEmpty(), qPrintable(watch.late.join(u'\n')));
    core.stop();
    const QStringList kinds = sqlColumn(eventJournalPath(home.path()), QStringLiteral("select kind from events order by id"));
    QVERIFY2(kinds.contains(station_kinds::PortOpenFailed) && kinds.contains(station_kinds::PortRestored),
             qPrintable(kinds.join(u',')));
    QDir::setCurrent(savedCwd);
}

QTEST_GUILESS_MAIN(TestNetworkStation)
#include "tst_networkstation.moc"
