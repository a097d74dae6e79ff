// The notification command, run for real (shell scripts in a temporary directory, real
// timers): its arguments and environment, the order of quick commands, the limit of 4
// outstanding, the 10-second time-out, and failures reported once.

#include "AlarmFixture.h"
#include "AlarmNotifier.h"
#include "EventJournal.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// An executable script in dir.
QString script(const QTemporaryDir &dir, const QString &name, const QString &body)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write("#!/bin/sh\n" + body.toUtf8() + '\n');
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QStringList lines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out = QString::fromUtf8(f.readAll()).split(u'\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

JournalEvent sampleEvent(int seq, Transition t = Transition::Raised)
{
    JournalEvent e;
    e.time = QDateTime(QDate(2024, 6, 1), QTime(3, 0, 0, 250)).addSecs(seq);
    e.source = AlarmSource::Limit;
    e.channel = 2;
    e.name = QStringLiteral("油储温度2");
    e.kind = LimitUpperKind;
    e.value = 80.0 + seq;
    e.transition = t;
    return e;
}

} // namespace

class TestAlarmNotifier : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void argumentsAndEnvironment();
    void quickCommandsInOrder();
    void atMostFourOutstanding();
    void timeOutKills();
    void failuresReportedOnce();
};

void TestAlarmNotifier::argumentsAndEnvironment()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("out.txt"));
    const QString cmd = script(tmp, QStringLiteral("notify"),
                               QStringLiteral("for a in \"$@\"; do printf '[%s]' \"$a\" >> '%1'; done\n"
                                              "printf '\\n%s|%s|%s|%s|%s|%s|%s|%s\\n' \"$#\" \"$QZ_EVENT_TIME\" \"$QZ_CHANNEL\" "
                                              "\"$QZ_NAME\" \"$QZ_KIND\" \"$QZ_VALUE\" \"$QZ_TRANSITION\" \"$QZ_SOURCE\" >> '%1'\n"
                                              "pwd >> '%1'")
                                   .arg(out));
    AlarmNotifier notifier;
    QVERIFY(!notifier.enabled());
    QVERIFY(!notifier.offer(sampleEvent(1))); // no command: nothing runs
    notifier.setCommand(QStringLiteral("  ") + cmd + QStringLiteral(" "));
    QCOMPARE(notifier.command(), cmd);
    notifier.setWorkingDirectory(tmp.path());
    QSignalSpy finished(&notifier, &AlarmNotifier::finished);

    // A name with a blank and a quote travels as one argument: no shell in between.
    JournalEvent e = sampleEvent(0);
    e.name = QStringLiteral("罐 \"A\"; rm");
    e.value = 81.23456;
    QVERIFY(notifier.offer(e));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(finished.first().at(0).toBool(), true);

    // The station's own alarm has no channel and no value.
    JournalEvent comm;
    comm.time = QDateTime(QDate(2024, 6, 1), QTime(4, 5, 6, 7));
    comm.source = AlarmSource::Comm;
    comm.kind = CommKind;
    comm.transition = Transition::Returned;
    QVERIFY(notifier.offer(comm));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 10000);

    QCOMPARE(lines(out),
             (QStringList{QStringLiteral("[2024-06-01T03:00:00.250][2][罐 \"A\"; rm][越上限报警][81.235][raised]"),
                          QStringLiteral("6|2024-06-01T03:00:00.250|2|罐 \"A\"; rm|越上限报警|81.235|raised|limit"),
                          tmp.path(),
                          QStringLiteral("[2024-06-01T04:05:06.007][][][通讯中断][][returned]"),
                          QStringLiteral("6|2024-06-01T04:05:06.007|||通讯中断||returned|comm"),
                          tmp.path()}));
}

void TestAlarmNotifier::quickCommandsInOrder()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("out.txt"));
    const QString cmd = script(tmp, QStringLiteral("append"), QStringLiteral("echo \"$5 $6\" >> '%1'").arg(out));
    AlarmNotifier notifier;
    notifier.setCommand(cmd);
    QSignalSpy finished(&notifier, &AlarmNotifier::finished);
    // Events in quick succession, some of them three at once (one poll raising several).
    QStringList expected;
    int seq = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < (round % 2 ? 3 : 1); ++i, ++seq) {
            const Transition t = seq % 2 ? Transition::Returned : Transition::Raised;
            QVERIFY(notifier.offer(sampleEvent(seq, t)));
            expected.append(QStringLiteral("%1.000 %2").arg(80 + seq).arg(transitionToken(t)));
        }
        QTRY_VERIFY_WITH_TIMEOUT(notifier.outstanding() <= 1, 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), seq, 10000);
    QCOMPARE(lines(out), expected);
}

void TestAlarmNotifier::atMostFourOutstanding()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("out.txt"));
    const QString cmd = script(tmp, QStringLiteral("slow"), QStringLiteral("echo \"start $5\" >> '%1'\nsleep 5\necho \"end $5\" >> '%1'").arg(out));
    AlarmNotifier notifier;
    QCOMPARE(notifier.maxOutstanding(), 4);
    QCOMPARE(notifier.timeoutMs(), 10000);
    notifier.setCommand(cmd);
    QSignalSpy finished(&notifier, &AlarmNotifier::finished);
    QList<bool> taken;
    for (int i = 0; i < 6; ++i)
        taken.append(notifier.offer(sampleEvent(i)));
    QCOMPARE(taken, (QList<bool>{true, true, true, true, false, false}));
    QCOMPARE(notifier.outstanding(), 4);

    // Slow commands overlap: a new one starts once the one before has run for a second.
    int most = 0;
    QElapsedTimer t;
    t.start();
    while (finished.isEmpty() && t.elapsed() < 20000) {
        most = qMax(most, notifier.running());
        QTest::qWait(50);
    }
    QCOMPARE(most, 4);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 4, 20000);
    const QStringList log = lines(out);
    QCOMPARE(log.mid(0, 4), (QStringList{QStringLiteral("start 80.000"), QStringLiteral("start 81.000"),
                                          QStringLiteral("start 82.000"), QStringLiteral("start 83.000")}));
    QCOMPARE(log.size(), 8);
    // Room again.
    QVERIFY(notifier.offer(sampleEvent(9)));
}

void TestAlarmNotifier::timeOutKills()
{
    QTemporaryDir tmp;
    const QString out = tmp.filePath(QStringLiteral("pid.txt"));
    const QString cmd = script(tmp, QStringLiteral("hang"), QStringLiteral("echo $$ > '%1'\nexec sleep 60").arg(out));
    AlarmNotifier notifier;
    notifier.setCommand(cmd);
    QSignalSpy finished(&notifier, &AlarmNotifier::finished);
    QSignalSpy failed(&notifier, &AlarmNotifier::failed);
    QElapsedTimer t;
    t.start();
    QVERIFY(notifier.offer(sampleEvent(1)));
    // The event loop keeps going meanwhile (nothing here waits on the command).
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QVERIFY2(t.elapsed() >= 9900, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QVERIFY2(finished.first().at(1).toString().contains(QStringLiteral("超过 10 秒")),
             qPrintable(finished.first().at(1).toString()));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(notifier.outstanding(), 0);
    // The command itself is gone, not left behind.
    const QStringList pid = lines(out);
    QCOMPARE(pid.size(), 1);
    QTRY_VERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1/cmdline").arg(pid.first())));
}

void TestAlarmNotifier::failuresReportedOnce()
{
    QTemporaryDir tmp;
    AlarmNotifier notifier;
    notifier.setStartSpacingMs(0);
    QSignalSpy finished(&notifier, &AlarmNotifier::finished);
    QSignalSpy failed(&notifier, &AlarmNotifier::failed);
    QSignalSpy recovered(&notifier, &AlarmNotifier::recovered);

    // A missing program: each event tries once, nothing is retried, the failure is reported once.
    notifier.setCommand(tmp.filePath(QStringLiteral("missing")));
    for (int i = 0; i < 3; ++i) {
        QVERIFY(notifier.offer(sampleEvent(i)));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), i + 1, 10000);
    }
    QTest::qWait(200);
    QCOMPARE(finished.size(), 3);
    QCOMPARE(failed.size(), 1);
    QVERIFY2(failed.first().at(0).toString().startsWith(QStringLiteral("报警通知命令无法启动：")),
             qPrintable(failed.first().at(0).toString()));

    // Another command gets its own first report; an exit status other than 0 is a failure.
    notifier.setCommand(script(tmp, QStringLiteral("fails"), QStringLiteral("exit 3")));
    QVERIFY(notifier.offer(sampleEvent(5)));
    QVERIFY(notifier.offer(sampleEvent(6)));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 5, 10000);
    QCOMPARE(failed.size(), 2);
    QVERIFY2(failed.last().at(0).toString().contains(QStringLiteral("exit status 3")),
             qPrintable(failed.last().at(0).toString()));

    // Working again: recovered once, and a later failure is reported anew.
    const QString flag = tmp.filePath(QStringLiteral("ok"));
    notifier.setCommand(script(tmp, QStringLiteral("sometimes"), QStringLiteral("test -e '%1'").arg(flag)));
    QVERIFY(notifier.offer(sampleEvent(7)));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 6, 10000);
    QCOMPARE(failed.size(), 3); // new command, first failure
    QFile(flag).open(QIODevice::WriteOnly);
    QVERIFY(notifier.offer(sampleEvent(8)));
    QVERIFY(notifier.offer(sampleEvent(9)));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 8, 10000);
    QCOMPARE(recovered.size(), 1);
    QFile::remove(flag);
    QVERIFY(notifier.offer(sampleEvent(10)));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 9, 10000);
    QCOMPARE(failed.size(), 4);
}

QTEST_GUILESS_MAIN(TestAlarmNotifier)
#include "tst_alarmnotifier.moc"
