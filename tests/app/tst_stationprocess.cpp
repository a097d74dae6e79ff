// The station as a process, the way a site runs it: qzmonitor started by itself (--start) on
// a program directory, offscreen, against the simulator. One station per directory, readers
// (reports, the sqlite3 shell's online backup) while it stores, and an adapter that appears
// only after the station has started.
#include "Simulator.h"
#include "StationFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>

namespace {

const QString Monitor = QStringLiteral(QZ_BINARY_DIR "/src/app/qzmonitor");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// A program directory with COM1 mapped to device, 16 channels, a record every second.
void prepareHome(const QString &home, const QString &device)
{
    writeFile(home + QStringLiteral("/KTcom.ini"),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(device).toUtf8());
    writeFile(home + QStringLiteral("/Sys_Para.Pf"), "16\r\n1000\r\n");
}




class Station {
public:
    explicit Station(const QString &home, const QStringList &extra = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.start(Monitor, QStringList{QStringLiteral("--home"), home, QStringLiteral("--start")} + extra);
    }
    ~Station()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(3000);
            }
        }
    }
    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }
    void kill9()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
};

// Names, sizes and modification times of the files of a directory, wwdd's own files aside.
QStringList settingsFootprint(const QString &home)
{
    QStringList out;
    const QFileInfoList entries = QDir(home).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QFileInfo &f : entries) {
        if (f.fileName().startsWith(QLatin1String("wwdd.db")))
            continue;
        out.append(QStringLiteral("%1 %2 %3").arg(f.fileName()).arg(f.size()).arg(f.lastModified().toMSecsSinceEpoch()));
    }
    return out;
}

} // namespace

class TestStationProcess : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void oneStationPerDirectory();
    void readersWhileStoring();
    void lateAdapterNeedsNoOne();
    void brokenDataDirectoryNeedsNoOne();
};

void TestStationProcess::oneStationPerDirectory()
{
    QTemporaryDir home;
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    prepareHome(home.path(), sim.path());

    Station first(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 2, 20000);
    const QStringList footprint = settingsFootprint(home.path());

    // A second station on the same directory: told why, exit status 1, nothing touched.
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    second.setProcessEnvironment(env);
    second.start(Monitor, {QStringLiteral("--home"), home.path(), QStringLiteral("--start")});
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(second.readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("已有一个监控站在运行")), qPrintable(said));
    QVERIFY2(said.contains(QString::number(first.pid())), qPrintable(said));
    QCOMPARE(settingsFootprint(home.path()), footprint);

    // The first one went on storing measured values.
    const int before = measuredCount(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= before + 2, 10000);
    QCOMPARE(first.process().state(), QProcess::Running);

    // Killed, it leaves its lock behind; the next station takes it over and stores.
    first.kill9();
    QVERIFY(QFile::exists(home.filePath(QStringLiteral("qzmonitor.lock"))));
    const int atKill = recordCount(home.path());
    Station third(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) > before + 2 && recordCount(home.path()) >= atKill + 3, 20000);
    QCOMPARE(third.process().state(), QProcess::Running);
    QCOMPARE(sqlColumn(home.filePath(QStringLiteral("wwdd.db")), QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
}

void TestStationProcess::readersWhileStoring()
{
    QTemporaryDir home;
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    prepareHome(home.path(), sim.path());
    Station station(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(home.path()) >= 3, 20000);

    const QString db = home.filePath(QStringLiteral("wwdd.db"));
    const QStringList storedBefore = sqlColumn(db, QStringLiteral("select datim from wwdd order by datim"));
    QVERIFY(storedBefore.size() >= 3);

    // A report while the station stores: every record stored before it began is in it.
    const QString csv = home.filePath(QStringLiteral("report.csv"));
    QProcess report;
    report.start(Monitor, {QStringLiteral("--home"), home.path(), QStringLiteral("--export-csv"), csv,
                           QStringLiteral("--from"), QStringLiteral("2000-01-01 00:00:00"),
                           QStringLiteral("--to"), QStringLiteral("2100-01-01 00:00:00")});
    QVERIFY(report.waitForFinished(30000));
    QVERIFY2(report.exitCode() == 0, report.readAllStandardError().constData());
    QFile csvFile(csv);
    QVERIFY(csvFile.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(csvFile.readAll());
    for (const QString &datim : storedBefore) {
        // The report writes the time stamp as stored, with a blank for the T.
        QString shown = datim;
        shown.replace(u'T', u' ');
        QVERIFY2(text.contains(shown.left(19)), qPrintable(shown));
    }

    // An online backup by the sqlite3 shell while the station stores.
    const QString copy = home.filePath(QStringLiteral("copy.db"));
    QProcess backup;
    backup.start(QStringLiteral("sqlite3"), {db, QStringLiteral(".backup '%1'").arg(copy)});
    QVERIFY(backup.waitForFinished(30000));
    QVERIFY2(backup.exitCode() == 0, backup.readAllStandardError().constData());
    QCOMPARE(sqlColumn(copy, QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
    const QStringList inCopy = sqlColumn(copy, QStringLiteral("select datim from wwdd order by datim"));
    QVERIFY(inCopy.size() >= storedBefore.size());
    QCOMPARE(inCopy.mid(0, storedBefore.size()), storedBefore);

    // The station never noticed: it goes on storing.
    const int count = recordCount(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(home.path()) >= count + 2, 10000);
    QCOMPARE(station.process().state(), QProcess::Running);
}

void TestStationProcess::lateAdapterNeedsNoOne()
{
    // Started by itself before the adapter is there (a boot where USB comes up late): the
    // problem goes to stderr, nothing waits for a click, and once the device appears the
    // station opens it and stores measured values.
    QTemporaryDir home;
    const QString link = home.filePath(QStringLiteral("ttyLATE"));
    prepareHome(home.path(), link);
    Station station(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(recordCount(home.path()) >= 1, 20000);
    QTest::qWait(5000);
    QCOMPARE(measuredCount(home.path()), 0);
    QVERIFY(QString::fromLocal8Bit(station.process().readAllStandardError()).contains(QStringLiteral("打开串口错误")));

    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16"), QStringLiteral("--link"), link}));
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 2, 20000);
    QCOMPARE(station.process().state(), QProcess::Running);
}

void TestStationProcess::brokenDataDirectoryNeedsNoOne()
{
    // Started by itself where Data/ cannot be made (a file of that name): the month table, the
    // print table and the event journal cannot be created there. That is said on stderr in
    // Chinese, no box waits for a click, and the history is stored all the same.
    QTemporaryDir home;
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    prepareHome(home.path(), sim.path());
    writeFile(home.filePath(QStringLiteral("Data")), "not a directory\n");
    Station station(home.path());
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 2, 20000);
    const QString said = QString::fromUtf8(station.process().readAllStandardError());
    QVERIFY2(said.contains(QStringLiteral("qzmonitor: 数据表无法创建")) && said.contains(QStringLiteral(".Dat")), qPrintable(said));
    QVERIFY2(said.contains(QStringLiteral("qzmonitor: 报警记录文件无法打开")), qPrintable(said));
    QCOMPARE(station.process().state(), QProcess::Running);
    QCOMPARE(QFileInfo(home.filePath(QStringLiteral("Data"))).size(), qint64(16));
}

QTEST_GUILESS_MAIN(TestStationProcess)
#include "tst_stationprocess.moc"
