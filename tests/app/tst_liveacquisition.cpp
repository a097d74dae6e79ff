// The acquisition cycle with its real timers (poll 1500 ms, refresh 1000 ms, storage, the
// master's own frame gap and poll tick) against the instrument simulator over a
// pseudo-terminal. Timing is the point here, so nothing is ticked by hand.
#include "MainF.h"

#include "AlmFrm.h"
#include "sysFrm.h"
#include "HistoryGridModel.h"
#include "Unit3.h"

#include "ModbusM.h"
#include "MyPanels.h"
#include "ScriptedPrompter.h"
#include "WindowState.h"
#include "Simulator.h"
#include "StationOptions.h"
#include "TQuery.h"
#include "Tiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFrame>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

const QString ErrorText = QStringLiteral("通讯接收错误：ERROR！！！ ");
const QString OkText = QStringLiteral("通讯接收正常：OK！ ");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// What the operator saw at each refresh tick.
struct Watch {
    int ticks = 0;
    int okTicks = 0;
    int errorTicks = 0;
    int interruptedTiles = 0;  // tiles showing "中断", summed over ticks
    int interruptedValues = 0; // channels holding −1000.0, summed over ticks
};

} // namespace

class TestLiveAcquisition : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void healthyLineStaysOkAndLossShowsPromptly();
    void monitoringGoesOnBehindEveryWindow();
    void acquisitionGoesOnWhileTheWindowIsBusy();
    void settingsDialogLeavesTheStorageTickAlone();

private:
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    QString m_savedCwd;
};

void TestLiveAcquisition::init()
{
    resetSharedState();
    m_savedCwd = QDir::currentPath();
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QCOMPARE(enterProgramDirectory(m_home->path()), QString());
    m_prompter = std::make_unique<ScriptedPrompter>();
}

void TestLiveAcquisition::cleanup()
{
    m_prompter.reset();
    QDir::setCurrent(m_savedCwd);
    m_home.reset();
}

void TestLiveAcquisition::healthyLineStaysOkAndLossShowsPromptly()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(sim.path()).toUtf8());
    writeFile(m_home->filePath(QStringLiteral("Sys_Para.Pf")), "16\r\n1000\r\n");

    TMainFrm w; // the core on its own thread, as the program runs it
    QTRY_VERIFY_WITH_TIMEOUT(w.lastSnapshot().portOpen, 5000);
    QVERIFY(m_prompter->messages.isEmpty());

    Watch watch;
    // What each refresh tick left on screen, once the window has shown it.
    connect(&w, &TMainFrm::snapshotShown, this, [&](const StationSnapshot &s) {
        if (s.reason != StationSnapshot::Reason::Refresh)
            return;
        ++watch.ticks;
        const QString panel = w.statusPanelText(0);
        watch.okTicks += panel == OkText;
        watch.errorTicks += panel == ErrorText;
        for (int k = 1; k <= 16; ++k) {
            watch.interruptedTiles += findTile(w.Panel2, k)->PvCaption() == InterruptedText;
            watch.interruptedValues += isInterrupted(s.record.Pv[k]);
        }
    });
    // When the core sent its last request (its own clock, not when the window heard of it).
    qint64 lastPoll = -1;
    connect(&w, &TMainFrm::snapshotShown, this, [&](const StationSnapshot &s) {
        if (s.lastPoll.isValid())
            lastPoll = s.lastPoll.toMSecsSinceEpoch();
    });
    const auto now = [] { return QDateTime::currentMSecsSinceEpoch(); };

    w.N2Click();
    // The first answer takes one poll period; from then on every tick must show OK.
    QTRY_COMPARE_WITH_TIMEOUT(w.statusPanelText(0), OkText, 5000);
    watch = {};
    const QDateTime healthyFrom = QDateTime::currentDateTime();
    QTest::qWait(32000);
    const QDateTime healthyTo = QDateTime::currentDateTime();
    QVERIFY2(watch.ticks >= 30, qPrintable(QString::number(watch.ticks)));
    QCOMPARE(watch.errorTicks, 0);
    QCOMPARE(watch.okTicks, watch.ticks);
    QCOMPARE(watch.interruptedTiles, 0);
    QCOMPARE(watch.interruptedValues, 0);

    // The simulator falls silent. The first request it leaves unanswered is the first poll
    // after the switch has reached it; from that poll, two request intervals hold three
    // refresh ticks, one of them two in a row: ERROR within 3 s.
    QVERIFY(sim.toggleAnswering());
    const qint64 switched = now();
    QTRY_VERIFY_WITH_TIMEOUT(lastPoll > switched + 100, 3000);
    const qint64 firstUnanswered = lastPoll;
    QTRY_COMPARE_WITH_TIMEOUT(w.statusPanelText(0), ErrorText, 6000);
    const qint64 errorAfter = now() - firstUnanswered;
    QVERIFY2(errorAfter <= 3500, qPrintable(QStringLiteral("ERROR %1 ms after the first unanswered request").arg(errorAfter)));
    QCOMPARE(findTile(w.Panel2, 1)->PvCaption(), InterruptedText);
    // The silence lasts two storage periods beyond the error tick: the channels are marked
    // interrupted from that tick on, so at least one storage tick must store the marker,
    // however the timers are scheduled.
    QTest::qWait(2 * 1000 + 500);
    QVERIFY(isInterrupted(AllRecord.Pv[1]));

    // It answers again: the first answered request brings OK at the next refresh tick.
    QVERIFY(sim.toggleAnswering());
    const qint64 resumed = now();
    QTRY_VERIFY_WITH_TIMEOUT(lastPoll > resumed + 100, 3000);
    const qint64 firstAnswered = lastPoll;
    QTRY_COMPARE_WITH_TIMEOUT(w.statusPanelText(0), OkText, 5000);
    const qint64 okAfter = now() - firstAnswered;
    QVERIFY2(okAfter <= 2500, qPrintable(QStringLiteral("OK %1 ms after the first answered request").arg(okAfter)));
    QVERIFY(!isInterrupted(AllRecord.Pv[1]));
    // Two storage periods of answers, so the last record holds a value.
    QTest::qWait(2 * 1000 + 500);
    w.N3Click();
    QTRY_VERIFY_WITH_TIMEOUT(!w.lastSnapshot().storing, 5000);

    // Stored every second, read while the station holds the table: no −1000.000 in the
    // healthy half minute, the marker during the silence, values again at the end.
    db::TQuery q;
    q.setDatabaseName(m_home->path());
    q.SQL = QStringList{QStringLiteral("select * from wwdd where datim>=:Pdt1 order by datim")};
    q.setParamDateTime(QStringLiteral("Pdt1"), healthyFrom);
    q.open();
    int healthy = 0, healthyMarkers = 0, markersAfter = 0;
    QString last;
    for (q.first(); !q.eof(); q.next()) {
        const QString text = q.fieldText(QStringLiteral("aa1")).trimmed();
        const bool marker = text == QStringLiteral("-1000.000");
        if (q.fieldDateTime(QStringLiteral("datim")) <= healthyTo) {
            ++healthy;
            healthyMarkers += marker;
        } else {
            markersAfter += marker;
        }
        last = text;
    }
    q.close();
    QVERIFY(last != QStringLiteral("-1000.000"));
    QVERIFY2(healthy >= 30, qPrintable(QString::number(healthy)));
    QCOMPARE(healthyMarkers, 0);
    QVERIFY(markersAfter > 0);
}

// The stored time stamps from `from` on, with channel 1's text.
QList<QPair<QDateTime, QString>> storedSince(const QString &home, const QDateTime &from)
{
    db::TQuery q;
    q.setDatabaseName(home);
    q.SQL = QStringList{QStringLiteral("select * from wwdd where datim>=:Pdt1 order by datim")};
    q.setParamDateTime(QStringLiteral("Pdt1"), from);
    q.open();
    QList<QPair<QDateTime, QString>> rows;
    for (q.first(); !q.eof(); q.next())
        rows.append({q.fieldDateTime(QStringLiteral("datim")), q.fieldText(QStringLiteral("aa1")).trimmed()});
    q.close();
    return rows;
}

void TestLiveAcquisition::monitoringGoesOnBehindEveryWindow()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(sim.path()).toUtf8());
    writeFile(m_home->filePath(QStringLiteral("Sys_Para.Pf")), "16\r\n1000\r\n");

    TMainFrm w;
    AlmForm = new TAlmForm(&w);
    Watch watch;
    connect(&w, &TMainFrm::snapshotShown, this, [&](const StationSnapshot &s) {
        if (s.reason != StationSnapshot::Reason::Refresh)
            return;
        ++watch.ticks;
        watch.errorTicks += w.statusPanelText(0) != OkText;
    });
    w.N2Click();
    QTRY_COMPARE_WITH_TIMEOUT(w.statusPanelText(0), OkText, 5000);
    const QDateTime runFrom = QDateTime::currentDateTime();

    // Each window is kept open for 10 s, as an operator reading it would; the history window
    // runs a query half way.
    QStringList report;
    m_prompter->onModal = [&](QDialog *dialog) {
        const QString name = QString::fromLatin1(dialog->metaObject()->className());
        const QDateTime opened = QDateTime::currentDateTime();
        watch = {};
        if (auto *history = qobject_cast<TForm3 *>(dialog)) {
            QTest::qWait(5000);
            // The pickers as the window opened them: today from midnight, up to the moment the
            // query runs. The core stores on its own thread meanwhile, so that moment lies
            // between the two clock readings around the query; a record stamped just before the
            // first reading may still be in its commit when the query reads.
            const QDateTime before = QDateTime::currentDateTime();
            history->Button1Click();
            const QDateTime after = QDateTime::currentDateTime();
            int upToBefore = 0, upToAfter = 0;
            for (const auto &row : storedSince(m_home->path(), QDateTime(runFrom.date(), QTime(0, 0)))) {
                upToBefore += row.first <= before;
                upToAfter += row.first <= after;
            }
            const int shown = history->GridModel->rowCount();
            if (shown < upToBefore - 1 || shown > upToAfter || shown == 0)
                report << QStringLiteral("%1: the query showed %2 rows, %3 … %4 were stored up to it")
                              .arg(name).arg(shown).arg(upToBefore).arg(upToAfter);
            QTest::qWait(5000);
        } else {
            QTest::qWait(10000);
        }
        const auto rows = storedSince(m_home->path(), opened);
        int markers = 0;
        qint64 widestGapMs = 0;
        for (int i = 0; i < rows.size(); ++i) {
            markers += rows.at(i).second == QStringLiteral("-1000.000");
            if (i > 0)
                widestGapMs = qMax(widestGapMs, rows.at(i - 1).first.msecsTo(rows.at(i).first));
        }
        if (rows.size() < 9 || markers > 0 || widestGapMs > 1500 || watch.errorTicks > 0 || watch.ticks < 9)
            report << QStringLiteral("%1: %2 records, %3 interrupted, widest gap %4 ms, %5 of %6 ticks not OK")
                          .arg(name).arg(rows.size()).arg(markers).arg(widestGapMs).arg(watch.errorTicks).arg(watch.ticks);
        return int(QDialog::Rejected);
    };
    w.N19Click(); // 数据查询
    w.N7Click();  // 系统参数设置
    w.N6Click();  // 通讯参数设置
    w.NAlmClick(); // 报警状态设置
    QCOMPARE(m_prompter->modalCount, 4);
    QVERIFY2(report.isEmpty(), qPrintable(report.join(u'\n')));
    QVERIFY(w.lastSnapshot().running);
    delete AlmForm;
}

// The window's thread is held busy (a long query, printing, a slot that waits): the core polls
// and stores on its own thread meanwhile.
void TestLiveAcquisition::acquisitionGoesOnWhileTheWindowIsBusy()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(sim.path()).toUtf8());
    writeFile(m_home->filePath(QStringLiteral("Sys_Para.Pf")), "16\r\n1000\r\n");

    TMainFrm w;
    w.N2Click();
    QTRY_COMPARE_WITH_TIMEOUT(w.statusPanelText(0), OkText, 5000);
    QTest::qWait(2 * 1000 + 500); // two storage periods of answers before

    const QDateTime busyFrom = QDateTime::currentDateTime();
    QThread::msleep(5000); // nothing of the window runs: no event, no timer, no repaint
    const QDateTime busyTo = QDateTime::currentDateTime();

    QList<QPair<QDateTime, QString>> during;
    for (const auto &row : storedSince(m_home->path(), busyFrom))
        if (row.first <= busyTo)
            during.append(row);
    // A record every second: 5 s hold at least 4 whatever the phase, and no period is skipped
    // (a skipped one leaves two periods between neighbours).
    QVERIFY2(during.size() >= 4, qPrintable(QString::number(during.size())));
    qint64 widestGapMs = busyFrom.msecsTo(during.first().first);
    for (int i = 1; i < during.size(); ++i)
        widestGapMs = qMax(widestGapMs, during.at(i - 1).first.msecsTo(during.at(i).first));
    widestGapMs = qMax(widestGapMs, during.last().first.msecsTo(busyTo));
    QVERIFY2(widestGapMs < 2000, qPrintable(QString::number(widestGapMs)));
    for (const auto &row : during)
        QVERIFY2(row.second != QStringLiteral("-1000.000"), qPrintable(row.first.toString(Qt::ISODateWithMs)));

    // The window catches up with what the core published meanwhile: still OK.
    QTest::qWait(2 * 1000 + 500);
    QCOMPARE(w.statusPanelText(0), OkText);
    QVERIFY(!isInterrupted(AllRecord.Pv[1]));
}

// "系统参数设置" opened and closed halfway through a storage period: the next record comes when
// it was due, whether the dialog was cancelled or saved unchanged. Only a new period restarts
// the tick.
void TestLiveAcquisition::settingsDialogLeavesTheStorageTickAlone()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    writeFile(m_home->filePath(QStringLiteral("KTcom.ini")),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(sim.path()).toUtf8());
    writeFile(m_home->filePath(QStringLiteral("Sys_Para.Pf")), "16\r\n10000\r\n"); // "10秒钟"
    const QDateTime since = QDateTime::currentDateTime();
    const auto records = [&] { return storedSince(m_home->path(), since); };

    TMainFrm w(nullptr, true);
    QTRY_VERIFY_WITH_TIMEOUT(records().size() >= 1, 15000);
    const QDateTime first = records().last().first;

    // Halfway through the period the dialog is opened and cancelled.
    QTest::qWait(5000);
    m_prompter->onModal = [](QDialog *) { return int(QDialog::Rejected); };
    w.N7Click();
    QTRY_VERIFY_WITH_TIMEOUT(records().size() >= 2, 15000);
    const QDateTime second = records().last().first;
    const qint64 cancelledGap = first.msecsTo(second);

    // Halfway through the next one it is saved as it stands.
    QTest::qWait(5000);
    m_prompter->onModal = [](QDialog *dialog) {
        auto *sys = qobject_cast<TSysForm *>(dialog);
        if (sys)
            sys->BitBtn1Click();
        return sys ? sys->result() : int(QDialog::Rejected);
    };
    w.N7Click();
    QTRY_VERIFY_WITH_TIMEOUT(records().size() >= 3, 15000);
    const qint64 savedGap = second.msecsTo(records().last().first);
    // A period is 10 s; a restarted tick would have made it about 15 s.
    QVERIFY2(cancelledGap > 8000 && cancelledGap < 12500, qPrintable(QString::number(cancelledGap)));
    QVERIFY2(savedGap > 8000 && savedGap < 12500, qPrintable(QString::number(savedGap)));
    QCOMPARE(w.lastSnapshot().storagePeriodMs, 10000);
    QVERIFY(m_prompter->errors.isEmpty());
}

QTEST_MAIN(TestLiveAcquisition)
#include "tst_liveacquisition.moc"
