// The alarms across the wire, on real timers: the station's main window (poll tick 1500 ms,
// refresh tick 1000 ms, its alarm center) against the instrument simulator qzsim on a
// pseudo-terminal with its outages, and a notification command that appends its arguments
// to a file. Afterwards the journal holds the broken sensor of channel 5, a station limit,
// "通讯中断" raised and returned and the station's own events, the fourth status panel has
// counted the alarms waiting for acknowledgement, and the command has received every raised
// and returned event, in order.
//
// QZ_ALARM_DEMO_SECONDS sets the length of the run (default 45 s); 300 gives the 5-minute
// demo run with the demo's outages (15 s every 120 s), which needs QtTest's watchdog moved
// past its 5 minutes: QTEST_FUNCTION_TIMEOUT=600000.

#include "AlarmCenter.h"
#include "MainF.h"
#include "StationAlarmBoard.h"
#include "ScriptedPrompter.h"
#include "SettingsFiles.h"
#include "WindowState.h"
#include "Simulator.h"
#include "StationOptions.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QStringList fileLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestAlarmsEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void demoRun();
};

void TestAlarmsEndToEnd::demoRun()
{
    const int seconds = qEnvironmentVariableIsSet("QZ_ALARM_DEMO_SECONDS") ? qEnvironmentVariableIntValue("QZ_ALARM_DEMO_SECONDS") : 45;
    const bool demo = seconds >= 240;
    QTemporaryDir home;
    const QString savedCwd = QDir::currentPath();
    QCOMPARE(enterProgramDirectory(home.path()), QString());
    resetSharedState();
    ScriptedPrompter prompter;
    const QString received = home.filePath(QStringLiteral("received.txt"));
    const QString command = home.filePath(QStringLiteral("notify.sh"));
    {
        QFile f(command);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\nprintf '%s|' \"$@\" >> '%1'\necho >> '%1'\n").arg(received).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    Simulator sim(simulatorProgram());
    const QString link = home.filePath(QStringLiteral("ttyQZ"));
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16"), QStringLiteral("--link"), link,
                       QStringLiteral("--outage"), demo ? QStringLiteral("15") : QStringLiteral("6"),
                       QStringLiteral("--outage-every"), demo ? QStringLiteral("120") : QStringLiteral("20")}));

    // The station's own files: 16 channels, limits −50 … 200, and on channel 1 (which wanders
    // between about 55 and 70) an upper station limit at 62 that it crosses.
    writeFile(home.filePath(CommIniFileName),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n[alarms]\r\nCommand=%2\r\n")
                  .arg(link, command).toUtf8());
    writeFile(home.filePath(SysParaFileName), "16\r\n60000\r\n");
    QByteArray pv, alm;
    for (int k = 1; k <= 16; ++k) {
        pv += "CH" + QByteArray::number(k) + "\r\nC\r\n-50\r\n200\r\n";
        alm += "CH" + QByteArray::number(k) + (k == 1 ? "\r\n1\r\n62\r\n" : "\r\n0\r\n80\r\n");
    }
    writeFile(home.filePath(SystemPvFileName), pv);
    writeFile(home.filePath(SystemAlmFileName), alm);

    QList<JournalEvent> journaled;
    int mostWaiting = 0;
    QStringList panelTexts;
    {
        TMainFrm w(nullptr, true); // started by itself, the run on, the core on its own thread
        QTRY_VERIFY_WITH_TIMEOUT(w.lastSnapshot().running, 5000);
        QVERIFY(w.N18->isVisible());
        connect(w.AlarmView, &AlarmBoard::eventsJournaled, this,
                [&journaled](const QList<JournalEvent> &events) { journaled += events; });
        connect(&w, &TMainFrm::snapshotShown, this, [&](const StationSnapshot &s) {
            if (s.reason != StationSnapshot::Reason::Refresh)
                return;
            mostWaiting = qMax(mostWaiting, s.unacknowledged);
            const QString text = w.StatusPanels[3]->text();
            if (!panelTexts.contains(text))
                panelTexts.append(text);
        });
        QTest::qWait(seconds * 1000);
        w.N3Click();
        QTRY_COMPARE_WITH_TIMEOUT(w.Core.call([](Station &s) { return s.Alarms->notifier().outstanding(); }), 0, 15000);

        // Acknowledged at the window, the alarms that have returned leave the list and the
        // panel empties once nothing is waiting.
        w.AlarmView->acknowledgeAll();
        QTRY_COMPARE_WITH_TIMEOUT(w.lastSnapshot().unacknowledged, 0, 5000);
        QCOMPARE(w.AlarmView->unacknowledgedCount(), 0);
        QCOMPARE(w.StatusPanels[3]->text(), QString());
    } // the core journals the end
    QDir::setCurrent(savedCwd);
    QVERIFY(sim.stop() == 0);

    // The panel counted the alarms waiting, in the red text.
    QVERIFY(mostWaiting >= 2);
    QVERIFY2(panelTexts.contains(alarmPanelText(mostWaiting)), qPrintable(panelTexts.join(u',')));
    QVERIFY(alarmPanelText(mostWaiting).startsWith(QStringLiteral("报警：")));

    // The station's own events went into the journal beside the alarms.
    EventJournal reader(home.filePath(QStringLiteral("Data/events.db")));
    reader.openForReading();
    QStringList stationKinds, stationRows;
    reader.forEach(QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime().addDays(1),
                   [&](const JournalEvent &e) {
                       if (e.source == AlarmSource::Station) {
                           stationKinds.append(e.kind);
                           stationRows.append(e.kind + u' ' + e.detail);
                       }
                       return true;
                   });
    reader.close();
    QVERIFY2(stationKinds == (QStringList{station_kinds::ProgramStarted, station_kinds::RunStarted,
                                          station_kinds::RunStopped, station_kinds::ProgramEnded}),
             qPrintable(stationRows.join(u'\n')));

    QStringList expected;
    int brokenRaised = 0;
    int commRaised = 0;
    int commReturned = 0;
    int limitEvents = 0;
    for (const JournalEvent &e : std::as_const(journaled)) {
        QVERIFY2(!e.detail.contains(QStringLiteral("未通知")), qPrintable(e.detail));
        if (e.transition != Transition::Raised && e.transition != Transition::Returned)
            continue;
        qInfo("%s", qPrintable(QStringLiteral("%1 %2 %3 %4 %5").arg(e.timeText.isEmpty() ? e.time.toString(Qt::ISODateWithMs) : e.timeText)
                                   .arg(e.channel).arg(e.kind, transitionToken(e.transition)).arg(e.value)));
        expected.append(AlarmNotifier::argumentsOf(e).join(u'|') + u'|');
        brokenRaised += e.channel == 5 && e.kind == QStringLiteral("信号断线") && e.transition == Transition::Raised;
        commRaised += e.source == AlarmSource::Comm && e.transition == Transition::Raised;
        commReturned += e.source == AlarmSource::Comm && e.transition == Transition::Returned;
        limitEvents += e.source == AlarmSource::Limit;
    }
    // The broken sensor is raised once and stays through the outages.
    QCOMPARE(brokenRaised, 1);
    QVERIFY(commRaised >= 1);
    QCOMPARE(commReturned, commRaised);
    QVERIFY(limitEvents >= 1);
    QCOMPARE(fileLines(received), expected);
    qInfo("%lld raised and returned events received in order by the command", qint64(expected.size()));
    QVERIFY(prompter.errors.isEmpty());
}

QTEST_MAIN(TestAlarmsEndToEnd)
#include "tst_alarms_e2e.moc"
