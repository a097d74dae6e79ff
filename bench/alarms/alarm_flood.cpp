// An alarm flood on real timers, the way the station meets it: a poll timer (1500 ms) feeds
// the AlarmCenter 32 channels toggling across their limit at every answer, the refresh timer
// (1000 ms) ticks the communication state, the "实时报警" view is open (its blink timer and the
// live journal), every event goes into Data/events.db with synchronous=FULL and runs the
// notification command. Reports whether every refresh tick came on time and what the flood
// cost. Run by hand (minutes of real time):
//   QT_QPA_PLATFORM=offscreen qz_alarm_flood [--minutes 10] [--dir DIR] [--deadband 0] [--ondelay 0]
//                                           [--command /bin/true]
// The defaults are the worst case: no deadband, no on-delay, so every answer raises or returns
// all 32 alarms.

#include "AlarmCenter.h"
#include "IniFile.h"
#include "RealAlarmFrm.h"
#include "WindowState.h"
#include "Ui.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <algorithm>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ui::installFontSubstitutions();
    QTextStream out(stdout);

    double minutes = 10;
    QString dir;
    QString deadband = QStringLiteral("0");
    QString onDelay = QStringLiteral("0");
    QString command = QStringLiteral("/bin/true");
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const QString &a = args.at(i);
        const QString &v = args.at(i + 1);
        if (a == QLatin1String("--minutes"))
            minutes = v.toDouble();
        else if (a == QLatin1String("--dir"))
            dir = v;
        else if (a == QLatin1String("--deadband"))
            deadband = v;
        else if (a == QLatin1String("--ondelay"))
            onDelay = v;
        else if (a == QLatin1String("--command"))
            command = v;
    }
    QTemporaryDir tmp(QDir::current().filePath(QStringLiteral("qz_alarm_flood-XXXXXX")));
    if (dir.isEmpty())
        dir = tmp.path();
    QDir().mkpath(dir);
    IniFile ini(QDir(dir).filePath(QStringLiteral("KTcom.ini")));
    ini.writeString(QStringLiteral("alarms"), QStringLiteral("Deadband"), deadband);
    ini.writeString(QStringLiteral("alarms"), QStringLiteral("OnDelaySeconds"), onDelay);
    ini.writeString(QStringLiteral("alarms"), QStringLiteral("Command"), command);

    resetSharedState();
    SysParams.ChannelCount = 32;
    for (int i = 0; i < MaxChannels; ++i) {
        Option.Names[size_t(i)] = QStringLiteral("油储温度%1").arg(i + 1);
        Option.LowerLimits[size_t(i)] = 0.f;
        Option.UpperLimits[size_t(i)] = 200.f;
        Option.AlarmModes[size_t(i)] = amUpper;
        Option.AlarmValues[size_t(i)] = 100.f;
        AllRecord.Pv[size_t(i + 1)] = 95.f;
    }

    AlarmCenter center;
    center.open(dir);
    const qint64 rowsBefore = center.journal().isOpen() ? center.journal().rowCount() : 0;
    TRealAlarmForm view(center, nullptr);
    view.setWindowState(Qt::WindowNoState);
    view.resize(1280, 800);
    view.show();

    QTimer send;
    QTimer refresh;
    send.setInterval(1500);
    refresh.setInterval(1000);
    int polls = 0;
    QList<double> pollMs;
    QList<double> tickMs;
    QList<qint64> tickGaps;
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = -1;
    QObject::connect(&send, &QTimer::timeout, [&] {
        QElapsedTimer t;
        t.start();
        const float v = polls % 2 ? 95.f : 105.f;
        for (int k = 1; k <= 32; ++k)
            AllRecord.Pv[size_t(k)] = v;
        center.answerDecoded(AllRecord, Option, SysParams.ChannelCount);
        ++polls;
        pollMs.append(double(t.nsecsElapsed()) / 1e6);
    });
    QObject::connect(&refresh, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (lastTick >= 0)
            tickGaps.append(now - lastTick);
        lastTick = now;
        QElapsedTimer t;
        t.start();
        center.refreshTick(CommState::Ok);
        tickMs.append(double(t.nsecsElapsed()) / 1e6);
    });
    send.start();
    refresh.start();
    QTimer::singleShot(int(minutes * 60000), &app, &QApplication::quit);
    app.exec();
    send.stop();
    refresh.stop();
    // Let the last commands end.
    QElapsedTimer wait;
    wait.start();
    while (center.notifier().outstanding() > 0 && wait.elapsed() < 15000)
        QApplication::processEvents(QEventLoop::AllEvents, 100);

    qint64 rows = 0;
    qint64 notNotified = 0;
    qint64 transitions = 0;
    if (center.journal().isOpen()) {
        rows = center.journal().rowCount() - rowsBefore;
        center.journal().forEach(QDateTime(QDate(2000, 1, 1), QTime(0, 0)), QDateTime::currentDateTime().addDays(1),
                                 [&](const JournalEvent &e) {
                                     if (e.transition == Transition::Raised || e.transition == Transition::Returned)
                                         ++transitions;
                                     if (e.detail.contains(QStringLiteral("未通知")))
                                         ++notNotified;
                                     return true;
                                 });
    }
    std::sort(tickGaps.begin(), tickGaps.end());
    std::sort(pollMs.begin(), pollMs.end());
    std::sort(tickMs.begin(), tickMs.end());
    const auto pct = [](const QList<double> &v, double p) { return v.isEmpty() ? 0.0 : v.at(qsizetype(double(v.size() - 1) * p)); };
    out << QStringLiteral("flood for %1 min: deadband %2 %, on-delay %3 s, command %4, journal %5\n")
               .arg(minutes)
               .arg(deadband, onDelay, command, center.journal().file());
    out << QStringLiteral("  polls %1, journal rows %2 (raised/returned %3), not notified %4 (%5 notified)\n")
               .arg(polls)
               .arg(rows)
               .arg(transitions)
               .arg(notNotified)
               .arg(transitions - notNotified);
    out << QStringLiteral("  poll handler (evaluate + journal + commands): median %1 ms, 99th %2 ms, max %3 ms\n")
               .arg(pct(pollMs, 0.5), 0, 'f', 2)
               .arg(pct(pollMs, 0.99), 0, 'f', 2)
               .arg(pollMs.isEmpty() ? 0.0 : pollMs.last(), 0, 'f', 2);
    out << QStringLiteral("  refresh ticks %1 (expected %2); gap between ticks min %3 ms, max %4 ms; tick handler max %5 ms\n")
               .arg(tickGaps.size() + 1)
               .arg(qint64(minutes * 60))
               .arg(tickGaps.isEmpty() ? 0 : tickGaps.first())
               .arg(tickGaps.isEmpty() ? 0 : tickGaps.last())
               .arg(tickMs.isEmpty() ? 0.0 : tickMs.last(), 0, 'f', 2);
    qint64 late = 0;
    for (qint64 g : std::as_const(tickGaps))
        late += g > 1100 ? 1 : 0;
    out << QStringLiteral("  ticks more than 100 ms late: %1\n").arg(late);
    return 0;
}
