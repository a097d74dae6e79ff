// The alarms across the wire, on real timers: the instrument simulator qzsim on a
// pseudo-terminal with its outages, the Modbus master and the acquisition cycle's own
// arithmetic wired to an AlarmCenter the way the main window wires it (poll tick 1500 ms,
// refresh tick 1000 ms, the communication state of the status panel), a notification command
// that appends its arguments to a file. Afterwards the journal holds the broken sensor of
// channel 5, a station limit, "通讯中断" raised and returned, and the command has received
// every raised and returned event, in order.
//
// QZ_ALARM_DEMO_SECONDS sets the length of the run (default 45 s); 300 gives the 5-minute
// demo run with the demo's outages (15 s every 120 s), which needs QtTest's watchdog moved
// past its 5 minutes: QTEST_FUNCTION_TIMEOUT=600000.

#include "Acquisition.h"
#include "AlarmCenter.h"
#include "IniFile.h"
#include "ModbusM.h"
#include "ScriptedPrompter.h"
#include "SettingsFiles.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

const QString SimulatorPath = QStringLiteral(QZ_BINARY_DIR "/tools/qzsim/qzsim");

// The parts of the main window's cycle the alarms hang on.
class StationCycle : public QObject {
public:
    StationCycle(AlarmCenter &center, const QString &device) : m_center(center)
    {
        comm1.setDeviceMap({{1, device}});
        comm1.setComPort(pnCOM1);
        comm1.setComPortSpeed(br9600);
        comm1.RegisterDim = 2;
        comm1.setTimeout(1000);
        comm1.OnResponseReady = [this](TModbusM *) {
            if (decodeAnswer(comm1.ResponseData, AllRecord, Option)) {
                CommWatch.answered();
                m_center.answerDecoded(AllRecord, Option, SysParams.ChannelCount); // after each decoded answer
            }
        };
        Send.setInterval(1500);
        Write_timer.setInterval(1000);
        connect(&Send, &QTimer::timeout, this, [this] {
            comm1.OpenPort();
            comm1.FunctionCode = 3;
            comm1.SlaveId = 1;
            comm1.Offset = 0;
            comm1.Quantity = quint16(pollQuantity(SysParams.ChannelCount));
            comm1.SendRequest();
            CommWatch.polled();
        });
        connect(&Write_timer, &QTimer::timeout, this, [this] {
            switch (CommWatch.tick()) {
            case CommWatchCounter::Event::Error:
                Shown = CommState::Error;
                markInterrupted(AllRecord, SysParams.ChannelCount);
                break;
            case CommWatchCounter::Event::Ok:
                Shown = CommState::Ok;
                break;
            case CommWatchCounter::Event::None:
                break;
            }
            m_center.refreshTick(Shown); // on every refresh tick
        });
    }
    void start()
    {
        comm1.OpenPort();
        Write_timer.start();
        Send.start();
    }

    TModbusM comm1;
    CommWatchCounter CommWatch;
    CommState Shown = CommState::Unknown;
    QTimer Send;
    QTimer Write_timer;

private:
    AlarmCenter &m_center;
};

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
    IniFile(home.filePath(CommIniFileName)).writeString(QStringLiteral("alarms"), QStringLiteral("Command"), command);

    QProcess sim;
    const QString link = home.filePath(QStringLiteral("ttyQZ"));
    sim.start(SimulatorPath, {QStringLiteral("--channels"), QStringLiteral("16"), QStringLiteral("--link"), link,
                              QStringLiteral("--outage"), demo ? QStringLiteral("15") : QStringLiteral("6"),
                              QStringLiteral("--outage-every"), demo ? QStringLiteral("120") : QStringLiteral("20")});
    QVERIFY2(sim.waitForStarted(5000), qPrintable(sim.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(link), 5000);

    resetSharedState();
    SysParams.ChannelCount = 16;
    for (int k = 1; k <= MaxChannels; ++k) {
        Option.Names[size_t(k - 1)] = defaultChannelName(k);
        Option.UpperLimits[size_t(k - 1)] = 200.f;
        Option.LowerLimits[size_t(k - 1)] = -50.f;
        Option.AlarmValues[size_t(k - 1)] = 80.f;
        AllRecord.Pv[size_t(k)] = InterruptionMarker;
        AllRecord.AlmText[size_t(k)] = QStringLiteral("--");
    }
    // Channel 1 wanders between about 55 and 70: a station limit at 62 crosses it.
    Option.AlarmModes[0] = amUpper;
    Option.AlarmValues[0] = 62.f;

    QList<JournalEvent> journaled;
    {
        AlarmCenter center;
        center.open(home.path());
        connect(&center, &AlarmCenter::eventsJournaled, this,
                [&journaled](const QList<JournalEvent> &events) { journaled += events; });
        center.stationEvent(AlarmCenter::StationEvent::ProgramStarted);
        StationCycle cycle(center, link);
        cycle.start();
        center.stationEvent(AlarmCenter::StationEvent::RunStarted);
        QTest::qWait(seconds * 1000);
        cycle.Send.stop();
        cycle.Write_timer.stop();
        center.stationEvent(AlarmCenter::StationEvent::RunStopped);
        QTRY_COMPARE_WITH_TIMEOUT(center.notifier().outstanding(), 0, 15000);
        center.stationEvent(AlarmCenter::StationEvent::ProgramEnded);
    }
    ::kill(pid_t(sim.processId()), SIGTERM);
    QVERIFY(sim.waitForFinished(5000));

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

QTEST_GUILESS_MAIN(TestAlarmsEndToEnd)
#include "tst_alarms_e2e.moc"
