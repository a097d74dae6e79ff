// qzmonitor --export-events, run as the real program: the command line, the exit statuses of
// the report commands, the CSV it writes, and an export while another process keeps writing
// the journal (the station running).

#include "EventJournal.h"
#include "EventsCommand.h"
#include "EventsExport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Station = QStringLiteral(QZ_BINARY_DIR "/src/app/qzmonitor");
const QString Writer = QStringLiteral(QZ_BINARY_DIR "/tests/alarms/journalwriter");

struct Run {
    int status = -1;
    QString err;
};

Run run(const QStringList &args)
{
    QProcess p;
    p.start(Station, args);
    Run r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace

class TestEventsCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void commandLine();
    void exitStatuses();
    void writesTheRange();
    void exportsWhileTheJournalIsWritten();
};

void TestEventsCommand::commandLine()
{
    const QString exe = QStringLiteral("qzmonitor");
    QVERIFY(isEventsCommandLine({exe, QStringLiteral("--export-events"), QStringLiteral("a.csv")}));
    QVERIFY(isEventsCommandLine({exe, QStringLiteral("--export-events=a.csv")}));
    QVERIFY(!isEventsCommandLine({exe, QStringLiteral("--export-csv"), QStringLiteral("a.csv")}));
    QVERIFY(!isEventsCommandLine({QStringLiteral("--export-events")})); // the program name is not an option
    EventsCommand c = parseEventsCommand({exe, QStringLiteral("--home=/h"), QStringLiteral("--export-events"),
                                          QStringLiteral("e.csv"), QStringLiteral("--from"), QStringLiteral("2024-01-01 00:00:00"),
                                          QStringLiteral("--to=2024-01-02 00:00:00")});
    QCOMPARE(c.error, QString());
    QCOMPARE(c.file, QStringLiteral("e.csv"));
    QCOMPARE(c.home, QStringLiteral("/h"));
    QCOMPARE(c.fromText, QStringLiteral("2024-01-01 00:00:00"));
    QCOMPARE(c.toText, QStringLiteral("2024-01-02 00:00:00"));
    QCOMPARE(parseEventsCommand({exe, QStringLiteral("--export-events")}).error, QStringLiteral("--export-events needs a value"));
    QCOMPARE(parseEventsCommand({exe, QStringLiteral("--export-events"), QStringLiteral("a"), QStringLiteral("--export-events=b")}).error,
             QStringLiteral("--export-events given twice"));
    QCOMPARE(parseEventsCommand({exe, QStringLiteral("--export-events=a"), QStringLiteral("--export-csv"), QStringLiteral("b")}).error,
             QStringLiteral("unknown option: --export-csv"));
    QCOMPARE(parseEventsCommand({exe, QStringLiteral("--export-events=a"), QStringLiteral("stray")}).error,
             QStringLiteral("unexpected argument: stray"));
    QCOMPARE(parseEventsCommand({exe, QStringLiteral("--from=x")}).error, QStringLiteral("--export-events FILE is needed"));
}

void TestEventsCommand::exitStatuses()
{
    QTemporaryDir home;
    const QString out = home.filePath(QStringLiteral("e.csv"));
    const QStringList range{QStringLiteral("--from"), QStringLiteral("2024-01-01 00:00:00"), QStringLiteral("--to"),
                            QStringLiteral("2024-01-02 00:00:00")};
    // 2: a command line that cannot be understood.
    Run r = run({QStringLiteral("--export-events"), out, QStringLiteral("--bogus")});
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains(QStringLiteral("unknown option: --bogus")), qPrintable(r.err));
    // 1: the journal is missing (and nothing is created for it).
    r = run(QStringList{QStringLiteral("--home"), home.path(), QStringLiteral("--export-events"), out} + range);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("the event journal is missing")), qPrintable(r.err));
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("Data"))));
    QVERIFY(!QFileInfo::exists(out));
    // 1: no such program directory.
    r = run(QStringList{QStringLiteral("--home"), home.filePath(QStringLiteral("none")), QStringLiteral("--export-events"), out} + range);
    QCOMPARE(r.status, 1);

    EventJournal journal(eventJournalPath(home.path()));
    journal.open();
    journal.close();
    // 1: bad ranges.
    for (const QStringList &bad : {QStringList{QStringLiteral("--from"), QStringLiteral("2024-01-01")},
                                   QStringList{QStringLiteral("--from"), QStringLiteral("2024-02-30 00:00:00"),
                                               QStringLiteral("--to"), QStringLiteral("2024-03-01 00:00:00")},
                                   QStringList{QStringLiteral("--from"), QStringLiteral("2024-01-02 00:00:00"),
                                               QStringLiteral("--to"), QStringLiteral("2024-01-01 23:59:59")}}) {
        r = run(QStringList{QStringLiteral("--home"), home.path(), QStringLiteral("--export-events"), out} + bad);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains(QStringLiteral("bad range")), qPrintable(r.err));
    }
    // 1: a file that cannot be written.
    r = run(QStringList{QStringLiteral("--home"), home.path(), QStringLiteral("--export-events"),
                        home.filePath(QStringLiteral("no/such/dir/e.csv"))} + range);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("无法写入文件")), qPrintable(r.err));
    // 0, and the help names the command.
    r = run(QStringList{QStringLiteral("--home"), home.path(), QStringLiteral("--export-events"), out} + range);
    QCOMPARE(r.status, 0);
    QProcess help;
    help.start(Station, {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(30000));
    QVERIFY(help.readAllStandardOutput().contains("--export-events FILE"));
}

void TestEventsCommand::writesTheRange()
{
    QTemporaryDir home;
    {
        EventJournal journal(eventJournalPath(home.path()));
        journal.open();
        const QDateTime t(QDate(2024, 7, 1), QTime(12, 0, 0));
        QList<JournalEvent> rows;
        rows.append(stationEvent(t.addMSecs(-1), QStringLiteral("程序启动"))); // before the range
        JournalEvent e;
        e.time = t;
        e.source = AlarmSource::Limit;
        e.channel = 3;
        e.name = QStringLiteral("罐, \"三\"");
        e.kind = LimitUpperKind;
        e.value = 81.5;
        e.transition = Transition::Raised;
        e.state = AlarmState::ActiveUnacked;
        e.detail = QStringLiteral("报警值 80，死区 2");
        rows.append(e);
        rows.append(stationEvent(t.addSecs(60).addMSecs(999), QStringLiteral("保存设置"), QStringLiteral("SystemAlm.Pf"))); // the end's last ms
        rows.append(stationEvent(t.addSecs(61), QStringLiteral("停止运行"))); // after
        journal.append(rows);
    }
    const QString out = home.filePath(QStringLiteral("e.csv"));
    const Run r = run({QStringLiteral("--home"), home.path(), QStringLiteral("--export-events=") + out,
                       QStringLiteral("--from=2024-07-01 12:00:00"), QStringLiteral("--to=2024-07-01T12:01:00")});
    QCOMPARE(r.status, 0);
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("\xEF\xBB\xBF时间,来源,通道,名称,类型,数值,变化,用户,说明\r\n"
                                     "2024-07-01 12:00:00.000,限值,3,\"罐, \"\"三\"\"\",越上限报警,81.500,报警,,报警值 80，死区 2\r\n"
                                     "2024-07-01 12:01:00.999,站,,,保存设置,,事件,,SystemAlm.Pf\r\n"));
}

void TestEventsCommand::exportsWhileTheJournalIsWritten()
{
    QTemporaryDir home;
    QProcess writer;
    writer.start(Writer, {home.path(), QStringLiteral("0")});
    QVERIFY(writer.waitForStarted(10000));
    QByteArray written;
    while (written.count('\n') < 50 && writer.waitForReadyRead(10000))
        written += writer.readAllStandardOutput();
    QVERIFY(written.count('\n') >= 50);

    const QString out = home.filePath(QStringLiteral("e.csv"));
    const QString from = QDateTime::currentDateTime().addSecs(-600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString to = QDateTime::currentDateTime().addSecs(600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const Run r = run({QStringLiteral("--home"), home.path(), QStringLiteral("--export-events"), out,
                       QStringLiteral("--from"), from, QStringLiteral("--to"), to});
    written += writer.readAllStandardOutput();
    const bool stillWriting = writer.state() == QProcess::Running;
    writer.kill();
    writer.waitForFinished(10000);
    QVERIFY(stillWriting);
    QVERIFY2(r.status == 0, qPrintable(r.err));
    QFile f(out);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const qsizetype lines = f.readAll().count("\r\n") - 1;
    QVERIFY2(lines >= 50, qPrintable(QString::number(lines)));
}

QTEST_GUILESS_MAIN(TestEventsCommand)
#include "tst_eventscommand.moc"
