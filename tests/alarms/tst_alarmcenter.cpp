// The facade the main window calls, without the main window: answers, refresh ticks and
// station events go in with a controlled clock; the journal, the list, the unacknowledged
// count and the status panel text come out. Also the [alarms] section, the list rebuilt after
// a restart, a journal that cannot be written, and the notification command's limits.

#include "AlarmCenter.h"
#include "AlarmFixture.h"
#include "IniFile.h"
#include "ScriptedPrompter.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Row {
    QString source;
    int channel;
    QString kind;
    QString transition;
    QString detail;
    QString user;
    bool operator==(const Row &) const = default;
};

QList<Row> journalRows(AlarmCenter &center)
{
    QList<Row> rows;
    center.journal().forEach(QDateTime(QDate(2000, 1, 1), QTime(0, 0)), QDateTime(QDate(2100, 1, 1), QTime(0, 0)),
                             [&rows](const JournalEvent &e) {
                                 rows.append({sourceToken(e.source), e.channel, e.kind, transitionToken(e.transition),
                                              e.detail, e.user});
                                 return true;
                             });
    return rows;
}

QStringList summary(const QList<Row> &rows)
{
    QStringList out;
    for (const Row &r : rows)
        out.append(QStringLiteral("%1 %2:%3").arg(r.channel).arg(r.kind, r.transition));
    return out;
}

QString writeScript(const QTemporaryDir &dir, const QString &name, const QString &body)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("#!/bin/sh\n" + body.toUtf8() + '\n');
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

class TestAlarmCenter : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void panelText();
    void alarmsSectionOfTheIniFile();
    void alarmsThroughTheJournal();
    void stationEventsAndSettings();
    void listRebuiltAfterRestart();
    void journalThatCannotBeWritten();
    void notificationLimits();
};

void TestAlarmCenter::panelText()
{
    QCOMPARE(alarmPanelText(0), QString());
    QCOMPARE(alarmPanelText(-1), QString());
    QCOMPARE(alarmPanelText(1), QStringLiteral("报警：1 条未确认"));
    QCOMPARE(alarmPanelText(32), QStringLiteral("报警：32 条未确认"));
}

void TestAlarmCenter::alarmsSectionOfTheIniFile()
{
    QTemporaryDir tmp;
    const QString ini = tmp.filePath(QStringLiteral("KTcom.ini"));
    // First start: the section with its defaults, after what is there.
    QFile f(ini);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("[communication]\r\nCOM=COM1\r\nBps=9600\r\n");
    f.close();
    AlarmSettings s = readAlarmSettings(tmp.path());
    QCOMPARE(s, (AlarmSettings{1.0, 5, QString()}));
    QFile back(ini);
    QVERIFY(back.open(QIODevice::ReadOnly));
    QCOMPARE(back.readAll(), QByteArray("[communication]\r\nCOM=COM1\r\nBps=9600\r\n\r\n[alarms]\r\nDeadband=1\r\n"
                                        "OnDelaySeconds=5\r\nCommand=\r\n"));
    back.close();

    IniFile file(ini);
    file.writeString(QStringLiteral("ALARMS"), QStringLiteral("deadband"), QStringLiteral("2.5%"));
    file.writeString(QStringLiteral("alarms"), QStringLiteral("OnDelaySeconds"), QStringLiteral("0"));
    file.writeString(QStringLiteral("alarms"), QStringLiteral("Command"), QStringLiteral("/usr/local/bin/sms send"));
    QCOMPARE(readAlarmSettings(tmp.path()), (AlarmSettings{2.5, 0, QStringLiteral("/usr/local/bin/sms send")}));

    // Bad values: the default for this run and in the file; the command is left as it is.
    const char *badDeadbands[] = {"abc", "-1", "101", "1,5", ""};
    const char *badDelays[] = {"abc", "-1", "1.5", "5s", "86401"};
    for (int i = 0; i < 5; ++i) {
        file.writeString(QStringLiteral("alarms"), QStringLiteral("Deadband"), QString::fromLatin1(badDeadbands[i]));
        file.writeString(QStringLiteral("alarms"), QStringLiteral("OnDelaySeconds"), QString::fromLatin1(badDelays[i]));
        QCOMPARE(readAlarmSettings(tmp.path()), (AlarmSettings{1.0, 5, QStringLiteral("/usr/local/bin/sms send")}));
        QCOMPARE(file.readString(QStringLiteral("alarms"), QStringLiteral("Deadband")), QStringLiteral("1"));
        QCOMPARE(file.readString(QStringLiteral("alarms"), QStringLiteral("OnDelaySeconds")), QStringLiteral("5"));
    }
    file.writeString(QStringLiteral("alarms"), QStringLiteral("OnDelaySeconds"), QStringLiteral("86400"));
    file.writeString(QStringLiteral("alarms"), QStringLiteral("Deadband"), QStringLiteral("100"));
    QCOMPARE(readAlarmSettings(tmp.path()), (AlarmSettings{100.0, 86400, QStringLiteral("/usr/local/bin/sms send")}));
    QCOMPARE(deadbandOf({2.0, 5, {}}, -50.f, 150.f), 4.0);
    QCOMPARE(deadbandOf({2.0, 5, {}}, 150.f, -50.f), 4.0);
}

void TestAlarmCenter::alarmsThroughTheJournal()
{
    QTemporaryDir tmp;
    ScriptedPrompter prompter;
    AlarmCenter center;
    TestClock clock;
    center.setClock([&clock] { return clock.now(); });
    center.setUserName(QStringLiteral("operator1"));
    QSignalSpy count(&center, &AlarmCenter::unacknowledgedCountChanged);
    QSignalSpy changed(&center, &AlarmCenter::alarmsChanged);
    QSignalSpy journaled(&center, &AlarmCenter::eventsJournaled);
    center.open(tmp.path());
    QVERIFY(QFile::exists(tmp.filePath(QStringLiteral("Data/events.db"))));
    QVERIFY(journalRows(center).isEmpty());
    QCOMPARE(count.size(), 0);

    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    opt.AlarmModes[1] = amUpper;
    rec.Pv[2] = 90.f;
    rec.AlmText[5] = QStringLiteral("信号断线");
    for (qint64 t = 0; t <= 6000; t += 1500) {
        clock.ms = t;
        center.answerDecoded(rec, opt, 16);
    }
    // Sensor broken at once, the limit after its 5 s on-delay (at 6 s).
    QCOMPARE(summary(journalRows(center)), (QStringList{QStringLiteral("5 信号断线:raised"), QStringLiteral("2 越上限报警:raised")}));
    QCOMPARE(count.size(), 2);
    QCOMPARE(count.last().at(0).toInt(), 2);
    QCOMPARE(center.unacknowledgedCount(), 2);
    QCOMPARE(alarmPanelText(center.unacknowledgedCount()), QStringLiteral("报警：2 条未确认"));
    QCOMPARE(journaled.size(), 2);
    const JournalEvent raised = journaled.last().at(0).value<QList<JournalEvent>>().first();
    QVERIFY(raised.id > 0);
    QCOMPARE(raised.time, clock.start.addMSecs(6000));
    QCOMPARE(raised.value, 90.0);

    clock.ms = 7000;
    center.refreshTick(CommState::Unknown);
    center.refreshTick(CommState::Error);
    center.refreshTick(CommState::Error);
    QCOMPARE(center.unacknowledgedCount(), 3);
    QCOMPARE(center.alarms().first().key, commKey()); // newest first

    changed.clear();
    center.acknowledge({commKey()});
    QCOMPARE(changed.size(), 1);
    QCOMPARE(center.state(commKey()), AlarmState::ActiveAcked);
    center.acknowledge({commKey()}); // nothing left to acknowledge: no row, no signal
    QCOMPARE(changed.size(), 1);
    clock.ms = 8000;
    center.refreshTick(CommState::Ok);
    QCOMPARE(center.alarms().size(), 2);
    rec.Pv[2] = 50.f;
    center.answerDecoded(rec, opt, 16);
    QCOMPARE(center.state(upperKey(2)), AlarmState::ReturnedUnacked);
    center.acknowledgeAll();
    QCOMPARE(center.unacknowledgedCount(), 0);
    QCOMPARE(count.last().at(0).toInt(), 0);
    QCOMPARE(alarmPanelText(center.unacknowledgedCount()), QString());
    QCOMPARE(center.alarms().size(), 1); // channel 5 still broken, acknowledged

    const QList<Row> rows = journalRows(center);
    QCOMPARE(summary(rows), (QStringList{QStringLiteral("5 信号断线:raised"), QStringLiteral("2 越上限报警:raised"),
                                         QStringLiteral("0 通讯中断:raised"), QStringLiteral("0 通讯中断:acknowledged"),
                                         QStringLiteral("0 通讯中断:returned"), QStringLiteral("2 越上限报警:returned"),
                                         QStringLiteral("2 越上限报警:acknowledged"),
                                         QStringLiteral("5 信号断线:acknowledged")}));
    QCOMPARE(rows.at(3).user, QStringLiteral("operator1"));
    QCOMPARE(rows.at(2).source, QStringLiteral("comm"));
    QVERIFY(rows.at(0).user.isEmpty());
    QVERIFY(prompter.errors.isEmpty());
}

void TestAlarmCenter::stationEventsAndSettings()
{
    QTemporaryDir tmp;
    ScriptedPrompter prompter;
    TestClock clock;
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt, 120.f);
    {
        AlarmCenter center;
        center.setClock([&clock] { return clock.now(); });
        center.open(tmp.path());
        using E = AlarmCenter::StationEvent;
        center.stationEvent(E::ProgramStarted);
        center.stationEvent(E::RunStarted);
        center.stationEvent(E::PortOpenFailed, QStringLiteral("COM1 /dev/ttyUSB0: no such device"));
        center.stationEvent(E::PortRestored, QStringLiteral("COM1"));
        center.stationEvent(E::StorageFailed, QStringLiteral("disk full"));
        center.stationEvent(E::StorageRestored);
        center.stationEvent(E::HistoryEmptied);
        center.stationEvent(E::RunStopped);

        // An active limit alarm; then "报警状态设置" turns it off and the return comes at once,
        // after the row of the saved file.
        opt.AlarmModes[0] = amUpper;
        clock.ms = 0;
        center.answerDecoded(rec, opt, 8);
        clock.ms = 5000;
        center.answerDecoded(rec, opt, 8);
        QCOMPARE(center.state(upperKey(1)), AlarmState::ActiveUnacked);
        opt.AlarmModes[0] = amNone;
        center.settingsSaved(QStringLiteral("SystemAlm.Pf"), rec, opt, 8);
        QCOMPARE(center.state(upperKey(1)), AlarmState::ReturnedUnacked);

        // KTcom.ini saved with another on-delay: in force at once.
        IniFile(tmp.filePath(QStringLiteral("KTcom.ini"))).writeString(QStringLiteral("alarms"), QStringLiteral("OnDelaySeconds"), QStringLiteral("0"));
        QCOMPARE(center.settings().onDelaySeconds, 5);
        opt.AlarmModes[1] = amUpper;
        center.settingsSaved(QStringLiteral("KTcom.ini"), rec, opt, 8);
        QCOMPARE(center.settings().onDelaySeconds, 0);
        QCOMPARE(center.state(upperKey(2)), AlarmState::ActiveUnacked);

        const QList<Row> rows = journalRows(center);
        QCOMPARE(summary(rows).mid(0, 8),
                 (QStringList{QStringLiteral("0 程序启动:event"), QStringLiteral("0 开始运行:event"),
                              QStringLiteral("0 打开串口失败:event"), QStringLiteral("0 串口恢复:event"),
                              QStringLiteral("0 存盘失败:event"), QStringLiteral("0 存盘恢复:event"),
                              QStringLiteral("0 清空历史数据:event"), QStringLiteral("0 停止运行:event")}));
        QCOMPARE(rows.at(0).source, QStringLiteral("station"));
        QCOMPARE(rows.at(0).detail, QString()); // a fresh journal: nothing ended badly before
        QCOMPARE(rows.at(2).detail, QStringLiteral("COM1 /dev/ttyUSB0: no such device"));
        QCOMPARE(summary(rows).mid(8),
                 (QStringList{QStringLiteral("1 越上限报警:raised"), QStringLiteral("0 保存设置:event"),
                              QStringLiteral("1 越上限报警:returned"), QStringLiteral("0 保存设置:event"),
                              QStringLiteral("2 越上限报警:raised")}));
        QCOMPARE(rows.at(9).detail, QStringLiteral("SystemAlm.Pf"));
        QCOMPARE(rows.at(10).detail, QStringLiteral("报警设置已取消"));
        QCOMPARE(rows.at(11).detail, QStringLiteral("KTcom.ini"));
        // No "程序退出": this run is killed.
    }
    AlarmCenter next;
    next.setClock([&clock] { return clock.now(); });
    next.open(tmp.path());
    next.stationEvent(AlarmCenter::StationEvent::ProgramStarted, QStringLiteral("--start"));
    next.stationEvent(AlarmCenter::StationEvent::ProgramEnded);
    next.stationEvent(AlarmCenter::StationEvent::ProgramStarted);
    const QList<Row> rows = journalRows(next);
    QCOMPARE(rows.at(rows.size() - 3).detail, QStringLiteral("上次运行未正常结束；--start"));
    QCOMPARE(rows.last().detail, QString());
    QVERIFY(prompter.errors.isEmpty());
}

void TestAlarmCenter::listRebuiltAfterRestart()
{
    QTemporaryDir tmp;
    ScriptedPrompter prompter;
    TestClock clock;
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    QList<Alarm> before;
    {
        AlarmCenter center;
        center.setClock([&clock] { return clock.now(); });
        center.open(tmp.path());
        rec.AlmText[1] = QStringLiteral("上溢");
        rec.AlmText[2] = QStringLiteral("下溢");
        rec.AlmText[3] = QStringLiteral("下限报警");
        center.answerDecoded(rec, opt, 8);
        clock.ms = 1000;
        center.refreshTick(CommState::Error);
        center.acknowledge({instrumentKey(2, QStringLiteral("下溢"))});
        rec.AlmText[3] = QString();
        clock.ms = 2000;
        center.answerDecoded(rec, opt, 8);
        before = center.alarms();
        QCOMPARE(before.size(), 4);
    }
    AlarmCenter center;
    QSignalSpy count(&center, &AlarmCenter::unacknowledgedCountChanged);
    center.open(tmp.path());
    QCOMPARE(count.size(), 1);
    QCOMPARE(count.first().at(0).toInt(), 3);
    const QList<Alarm> after = center.alarms();
    QCOMPARE(after.size(), before.size());
    for (qsizetype i = 0; i < after.size(); ++i) {
        QCOMPARE(after.at(i).key, before.at(i).key);
        QCOMPARE(after.at(i).state, before.at(i).state);
        QCOMPARE(after.at(i).raisedAt, before.at(i).raisedAt);
        QCOMPARE(after.at(i).name, before.at(i).name);
    }
    // Nothing was journaled by the restart itself.
    QCOMPARE(journalRows(center).size(), 6);
}

void TestAlarmCenter::journalThatCannotBeWritten()
{
    QTemporaryDir tmp;
    ScriptedPrompter prompter;
    // "Data" is a file: the journal cannot be created there.
    QFile blocker(tmp.filePath(QStringLiteral("Data")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    AlarmCenter center;
    QSignalSpy errors(&center, &AlarmCenter::errorRaised);
    TestClock clock;
    center.setClock([&clock] { return clock.now(); });
    center.open(tmp.path());
    QCOMPARE(errors.size(), 1);
    const QString said = errors.first().at(0).toString();
    QVERIFY2(said.startsWith(QStringLiteral("报警记录文件无法打开")), qPrintable(said));

    // Alarms go on: evaluated, listed, counted; the rows wait in memory and the failure is not
    // reported again for each of them.
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    QSignalSpy count(&center, &AlarmCenter::unacknowledgedCountChanged);
    center.stationEvent(AlarmCenter::StationEvent::ProgramStarted);
    rec.AlmText[4] = QStringLiteral("上限报警");
    center.answerDecoded(rec, opt, 8);
    clock.ms = 1000;
    center.refreshTick(CommState::Error);
    QCOMPARE(center.unacknowledgedCount(), 2);
    QCOMPARE(count.last().at(0).toInt(), 2);
    QCOMPARE(center.unwrittenCount(), 3);
    QCOMPARE(errors.size(), 1);

    // The directory comes back: the next event writes everything, in order.
    QVERIFY(QFile::remove(tmp.filePath(QStringLiteral("Data"))));
    center.acknowledgeAll();
    QCOMPARE(center.unwrittenCount(), 0);
    QCOMPARE(summary(journalRows(center)),
             (QStringList{QStringLiteral("0 程序启动:event"), QStringLiteral("4 上限报警:raised"),
                          QStringLiteral("0 通讯中断:raised"), QStringLiteral("0 通讯中断:acknowledged"),
                          QStringLiteral("4 上限报警:acknowledged")}));
    QCOMPARE(errors.size(), 1);
    // The center says it to whoever shows it; it never opens a box of its own.
    QVERIFY(prompter.errors.isEmpty());
}

void TestAlarmCenter::notificationLimits()
{
    QTemporaryDir tmp;
    ScriptedPrompter prompter;
    const QString slow = writeScript(tmp, QStringLiteral("slow"), QStringLiteral("exec sleep 3"));
    IniFile(tmp.filePath(QStringLiteral("KTcom.ini"))).writeString(QStringLiteral("alarms"), QStringLiteral("Command"), slow);
    AlarmCenter center;
    center.open(tmp.path());
    QCOMPARE(center.notifier().command(), slow);

    // Six channels raise in one answer: four commands, two rows "未通知"; acknowledgements
    // run nothing.
    TAllRecord rec;
    TOption opt;
    readingState(rec, opt);
    for (int k = 1; k <= 6; ++k)
        rec.AlmText[size_t(k)] = QStringLiteral("下溢");
    center.answerDecoded(rec, opt, 8);
    center.acknowledgeAll();
    QCOMPARE(center.notifier().outstanding(), 4);
    QList<Row> rows = journalRows(center);
    QCOMPARE(rows.size(), 12);
    QStringList details;
    for (const Row &r : rows.mid(0, 6))
        details.append(r.detail);
    const QString notNotified = QStringLiteral("未通知：已有 4 个报警通知命令在运行 (not notified)");
    QCOMPARE(details, (QStringList{QString(), QString(), QString(), QString(), notNotified, notNotified}));
    QTRY_COMPARE_WITH_TIMEOUT(center.notifier().outstanding(), 0, 20000);

    // A missing command: journaled once, however many events find it missing.
    IniFile(tmp.filePath(QStringLiteral("KTcom.ini"))).writeString(QStringLiteral("alarms"), QStringLiteral("Command"), tmp.filePath(QStringLiteral("gone")));
    center.settingsSaved(QStringLiteral("KTcom.ini"), rec, opt, 8);
    center.notifier().setStartSpacingMs(0);
    for (int k = 1; k <= 6; ++k) {
        rec.AlmText[size_t(k)] = k % 2 ? QString() : QStringLiteral("下溢"); // some return, none raise
        center.answerDecoded(rec, opt, 8);
        QTRY_COMPARE_WITH_TIMEOUT(center.notifier().outstanding(), 0, 10000);
    }
    rows = journalRows(center);
    int failures = 0;
    for (const Row &r : rows)
        failures += r.kind == QStringLiteral("报警通知失败") ? 1 : 0;
    QCOMPARE(failures, 1);
    QVERIFY(prompter.errors.isEmpty());
}

QTEST_GUILESS_MAIN(TestAlarmCenter)
#include "tst_alarmcenter.moc"
