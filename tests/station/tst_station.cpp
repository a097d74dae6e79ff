// The station core on a thread of its own, without a window: where its objects and
// connections live, how commands and snapshots cross between the threads.
#include "AlarmCenter.h"
#include "ModbusM.h"
#include "Pty.h"
#include "SiteLink.h"
#include "StationThread.h"
#include "TTable.h"

#include <QDir>
#include <QFile>
#include <QSqlDriver>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray withCrc(QByteArray frame)
{
    const uint16_t crc = Crc16(frame.constData(), frame.size());
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

// A 16-channel answer: channel k reads base + k with one decimal.
QByteArray answerFrame(int base)
{
    QByteArray data(64, '\0');
    for (int k = 1; k <= 16; ++k) {
        const int raw = (base + k) * 10;
        data[2 * (k - 1)] = char(raw >> 8);
        data[2 * (k - 1) + 1] = char(raw & 0xFF);
        data[2 * (16 + k - 1) + 1] = char(0x01);
    }
    return withCrc(QByteArray::fromHex("010340") + data);
}

// Run events of the journal, oldest first.
QStringList runEvents(const QString &home)
{
    EventJournal reader(eventJournalPath(home));
    reader.openForReading();
    QStringList kinds;
    reader.forEach(QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime().addDays(1),
                   [&kinds](const JournalEvent &e) {
                       if (e.kind == station_kinds::RunStarted || e.kind == station_kinds::RunStopped)
                           kinds.append(e.kind);
                       return true;
                   });
    return kinds;
}

} // namespace

class TestStation : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void coreLivesOnItsOwnThread();
    void commandsAndSnapshotsCrossInOrder();
    void passwordFileWarnedAtStart();

private:
    std::unique_ptr<QTemporaryDir> m_home;
    QString m_savedCwd;
};

void TestStation::init()
{
    m_savedCwd = QDir::currentPath();
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QVERIFY(QDir::setCurrent(m_home->path())); // the .Pf files are opened by bare name
}

void TestStation::cleanup()
{
    QDir::setCurrent(m_savedCwd);
    m_home.reset();
}

void TestStation::coreLivesOnItsOwnThread()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(pty.slavePath()).toUtf8());

    QThread *const mine = QThread::currentThread();
    QList<QThread *> messageThreads;
    QStringList messages;
    StationThread core(StationConfig{m_home->path(), false});
    QObject receiver;
    const StationStart start = core.start([&](Station &station) {
        QObject::connect(&station, &Station::messageRaised, &receiver, [&](const StationMessage &m) {
            messageThreads.append(QThread::currentThread());
            messages.append(m.text);
        });
    });
    // Start-up read the settings files (made with their defaults) for the caller.
    QCOMPARE(start.sysParams.ChannelCount, 8);
    QCOMPARE(start.option.Names[0], QStringLiteral("油储温度1"));
    QVERIFY(start.settingsLoad.sysParams);

    const QStringList where = core.call([mine](Station &s) {
        QThread *const here = QThread::currentThread();
        auto tell = [&](const QString &what, const QObject *o) {
            return QStringLiteral("%1 %2").arg(what, o->thread() == here ? QStringLiteral("core") : QStringLiteral("elsewhere"));
        };
        return QStringList{
            here == mine ? QStringLiteral("core runs on the caller's thread") : QStringLiteral("own thread"),
            tell(QStringLiteral("station"), &s),
            tell(QStringLiteral("poll timer"), &s.Send),
            tell(QStringLiteral("refresh timer"), &s.Write_timer),
            tell(QStringLiteral("storage timer"), &s.Receive),
            tell(QStringLiteral("master"), s.comm1),
            tell(QStringLiteral("alarms"), s.Alarms),
            tell(QStringLiteral("site"), s.Site),
            tell(QStringLiteral("wwdd connection"), s.HistoryTable->database().driver()),
            tell(QStringLiteral("journal connection"), s.Alarms->writer().database().driver()),
        };
    });
    QCOMPARE(where, (QStringList{QStringLiteral("own thread"), QStringLiteral("station core"),
                                 QStringLiteral("poll timer core"), QStringLiteral("refresh timer core"),
                                 QStringLiteral("storage timer core"), QStringLiteral("master core"),
                                 QStringLiteral("alarms core"), QStringLiteral("site core"),
                                 QStringLiteral("wwdd connection core"), QStringLiteral("journal connection core")}));
    QVERIFY(core.call([](Station &s) { return s.comm1->IsPortOpen(); }));
    // Nothing went wrong at start-up: no message at all.
    QTest::qWait(100);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(u'\n')));

    // A message the core raises reaches the caller on the caller's thread.
    core.post([](Station &s) { s.HistoryTable->close(); s.HistoryTable->setDatabaseName(QStringLiteral("/nonexistent/dir")); });
    core.post([](Station &s) { s.ReceiveTimer(); });
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 5000);
    QVERIFY2(messages.first().startsWith(QStringLiteral("数据表无法打开")), qPrintable(messages.first()));
    QCOMPARE(messageThreads, QList<QThread *>{mine});
}

void TestStation::commandsAndSnapshotsCrossInOrder()
{
    Pty pty;
    QVERIFY(pty.isOpen());
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(pty.slavePath()).toUtf8());
    writeFile(m_home->filePath(QStringLiteral("Sys_Para.Pf")), "8\r\n60000\r\n");

    StationThread core(StationConfig{m_home->path(), false});
    QObject receiver;
    QList<StationSnapshot> snapshots;
    core.start([&](Station &station) {
        QObject::connect(&station, &Station::snapshotPublished, &receiver,
                         [&](const StationSnapshot &s) { snapshots.append(s); });
    });

    // Commands posted in a burst arrive, all of them, in the order sent: 21 run changes and,
    // in the middle, saved settings with another channel count and storage period.
    TOption option;
    for (int i = 0; i < MaxChannels; ++i) {
        option.Names[i] = QStringLiteral("罐%1").arg(i + 1);
        option.LowerLimits[i] = 0.f;
        option.UpperLimits[i] = 500.f;
    }
    QStringList sent;
    for (int i = 0; i < 21; ++i) {
        if (i % 2 == 0) {
            core.post([](Station &s) { s.startRun(); });
            sent.append(station_kinds::RunStarted);
        } else {
            core.post([](Station &s) { s.stopRun(); });
            sent.append(station_kinds::RunStopped);
        }
        if (i == 10)
            core.post([option](Station &s) { s.settingsSaved({QStringLiteral("Sys_Para.Pf")}, option, TSysParams{16, 2000}); });
    }
    QTRY_COMPARE_WITH_TIMEOUT(runEvents(m_home->path()).size(), sent.size(), 5000);
    QCOMPARE(runEvents(m_home->path()), sent);
    const StationSnapshot last = core.call([](Station &s) { return s.snapshot(); });
    QVERIFY(last.running);
    QCOMPARE(last.channelCount, 16);
    QCOMPARE(last.storagePeriodMs, 2000);
    QVERIFY(last.storing);
    QCOMPARE(last.option.Names[15], QStringLiteral("罐16"));
    // Serial numbers only go up: nothing was delivered out of order.
    for (int i = 1; i < snapshots.size(); ++i)
        QVERIFY(snapshots.at(i).serial > snapshots.at(i - 1).serial);

    // An answer decoded on the core's thread arrives as a copy: what the caller already holds
    // stays as it was.
    pty.readAvailable();
    core.post([](Station &s) { s.SendTimer(); });
    QCOMPARE(pty.readAtLeast(8, 3000).toHex(), QByteArray("0103000000204412"));
    QVERIFY(pty.write(answerFrame(100)));
    QTRY_VERIFY_WITH_TIMEOUT(snapshots.last().answerBytes == 64, 5000);
    const StationSnapshot first = snapshots.last();
    QCOMPARE(first.record.Pv[1], 101.f);
    core.post([](Station &s) { s.SendTimer(); });
    pty.readAtLeast(8, 3000);
    QVERIFY(pty.write(answerFrame(200)));
    QTRY_COMPARE_WITH_TIMEOUT(snapshots.last().record.Pv[1], 201.f, 5000);
    QCOMPARE(first.record.Pv[1], 101.f);
    QCOMPARE(snapshots.last().record.Pv[16], 216.f);
}

void TestStation::passwordFileWarnedAtStart()
{
    // A broker password in a KTcom.ini others may read: said at start (the window's box, the
    // service's stderr) and journaled; not once the file is the owner's alone.
    const QString ini = m_home->filePath(QStringLiteral("KTcom.ini"));
    writeFile(ini, "[communication]\r\nCOM=COM1\r\nBps=9600\r\n[mqtt]\r\nUser=tank-a\r\nPassword=secret\r\n");
    for (const bool othersRead : {true, false}) {
        QVERIFY(QFile::setPermissions(ini, othersRead ? QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther
                                                      : QFile::ReadOwner | QFile::WriteOwner));
        QStringList messages;
        QObject receiver;
        {
            StationThread core(StationConfig{m_home->path(), false});
            core.start([&](Station &station) {
                QObject::connect(&station, &Station::messageRaised, &receiver,
                                 [&](const StationMessage &m) { messages.append(m.text); });
            });
            QTest::qWait(200);
        }
        const QStringList warnings = messages.filter(QStringLiteral("Password"));
        QCOMPARE(warnings.size(), othersRead ? 1 : 0);
        if (othersRead)
            QVERIFY2(warnings.first().startsWith(QStringLiteral("警告：")) && warnings.first().contains(QStringLiteral("0644")),
                     qPrintable(warnings.first()));
    }
    EventJournal reader(eventJournalPath(m_home->path()));
    reader.openForReading();
    int journaled = 0;
    reader.forEach(QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime().addDays(1), [&](const JournalEvent &e) {
        journaled += e.kind == station_kinds::SecurityWarning;
        return true;
    });
    QCOMPARE(journaled, 1);
}

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
