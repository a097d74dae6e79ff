// The headless station (qzstation) as a process, the way a service runs it: no display, the
// simulator on a pseudo-terminal, a record every second. It loads no window library, stores,
// ends cleanly on SIGTERM (last record committed, "offline" published, "程序退出" journaled),
// loses nothing to kill -9, and shares the one-station-per-directory lock with the window.
#include "EventJournal.h"
#include "BrokerWatcher.h"
#include "SiteServers.h"
#include "Simulator.h"
#include "StationFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>

namespace {

const QString Headless = QStringLiteral(QZ_BINARY_DIR "/src/station/qzstation");
const QString Monitor = QStringLiteral(QZ_BINARY_DIR "/src/app/qzmonitor");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

void prepareHome(const QString &home, const QString &device, const QByteArray &extraIni = {})
{
    writeFile(home + QStringLiteral("/KTcom.ini"),
              QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(device).toUtf8()
                  + extraIni);
    writeFile(home + QStringLiteral("/Sys_Para.Pf"), "16\r\n1000\r\n");
}



QStringList stationKinds(const QString &home)
{
    QStringList kinds;
    EventJournal reader(eventJournalPath(home));
    reader.openForReading();
    reader.forEach(QDateTime::currentDateTime().addDays(-1), QDateTime::currentDateTime().addDays(1),
                   [&kinds](const JournalEvent &e) {
                       if (e.isStation())
                           kinds.append(e.kind + (e.detail.isEmpty() ? QString() : QLatin1Char(':') + e.detail.section(u'\n', 0, 0)));
                       return true;
                   });
    return kinds;
}

// A program started without a display: no DISPLAY, no WAYLAND_DISPLAY, no platform chosen.
class Program {
public:
    Program(const QString &program, const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        m_process.setProcessEnvironment(env);
        m_process.start(program, args);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QProcess &process() { return m_process; }
    qint64 pid() const { return m_process.processId(); }
    void signal(int sig) { ::kill(pid_t(m_process.processId()), sig); }

private:
    QProcess m_process;
};

// The shared libraries a process has mapped.
QStringList mappedLibraries(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return {QStringLiteral("<no maps>")};
    QStringList libs;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const qsizetype slash = line.indexOf('/');
        if (slash < 0)
            continue;
        const QString path = QString::fromLocal8Bit(line.mid(slash));
        if (path.contains(QLatin1String(".so")) && !libs.contains(path))
            libs.append(path);
    }
    return libs;
}

} // namespace

class TestHeadless : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void storesWithoutWindowLibraries();
    void sigtermEndsCleanly();
    void killedAndRestartedLosesNothing();
    void oneStationPerDirectoryWhicheverKind();
};

void TestHeadless::storesWithoutWindowLibraries()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    QTemporaryDir home;
    prepareHome(home.path(), sim.path());

    Program station(Headless, {QStringLiteral("--home"), home.path()});
    QVERIFY(station.process().waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 3, 15000);

    const QStringList libs = mappedLibraries(station.pid());
    QVERIFY2(libs.filter(QStringLiteral("libQt6Core")).size() == 1, qPrintable(libs.join(u'\n')));
    QVERIFY2(libs.filter(QRegularExpression(QStringLiteral("libQt6(Gui|Widgets|PrintSupport|OpenGL|XcbQpa)"))).isEmpty(),
             qPrintable(libs.join(u'\n')));
    QVERIFY2(libs.filter(QStringLiteral("platforms/")).isEmpty(), qPrintable(libs.join(u'\n')));
    // The instruments' own values, not markers: channel 5 of the simulator is its broken sensor.
    QCOMPARE(sqlColumn(home.filePath(QStringLiteral("wwdd.db")), QStringLiteral("select count(*) from wwdd where aa16 is null")),
             QStringList{QStringLiteral("0")});
    const QStringList kinds = stationKinds(home.path());
    QVERIFY2(kinds.mid(0, 2) == (QStringList{QStringLiteral("程序启动:qzstation"), QStringLiteral("开始运行")}),
             qPrintable(kinds.join(u'\n')));
}

void TestHeadless::sigtermEndsCleanly()
{
    MosquittoServer broker;
    QString error;
    QVERIFY2(broker.start(&error), qPrintable(error));
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    QTemporaryDir home;
    prepareHome(home.path(), sim.path(),
                QStringLiteral("[mqtt]\r\nHost=%1\r\nPort=%2\r\nStation=cabinet-1\r\n").arg(broker.host()).arg(broker.port()).toUtf8());

    Program station(Headless, {QStringLiteral("--home"), home.path()});
    QVERIFY(station.process().waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 3, 15000);

    MqttSubscriber watcher(brokerWatcher(broker, QStringLiteral("headless-watch"), {QStringLiteral("qz/cabinet-1/status")}));
    QList<QJsonObject> statuses;
    connect(&watcher, &MqttSubscriber::message, this, [&](const QString &, const QByteArray &payload, quint16 id, int qos) {
        statuses.append(QJsonDocument::fromJson(payload).object());
        if (qos > 0)
            watcher.ack(id);
    });
    watcher.start();
    QTRY_VERIFY_WITH_TIMEOUT(!statuses.isEmpty() && statuses.last().value(QStringLiteral("online")).toBool(), 10000);

    const int before = measuredCount(home.path());
    station.signal(SIGTERM);
    QVERIFY(station.process().waitForFinished(10000));
    QCOMPARE(station.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.process().exitCode(), 0);
    QVERIFY(measuredCount(home.path()) >= before);
    QCOMPARE(sqlColumn(home.filePath(QStringLiteral("wwdd.db")), QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
    // Said goodbye: the journal's last station event, and the retained status offline (not the
    // broker's last will, which carries no channel list).
    QCOMPARE(stationKinds(home.path()).last(), station_kinds::ProgramEnded);
    QTRY_VERIFY_WITH_TIMEOUT(!statuses.last().value(QStringLiteral("online")).toBool(true), 10000);
    const auto seen = [&] {
        QStringList lines;
        for (const QJsonObject &o : std::as_const(statuses))
            lines.append(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)).left(120));
        return lines.join(u'\n') + QStringLiteral("\nbroker log:\n") + broker.log();
    };
    QVERIFY2(statuses.last().contains(QStringLiteral("channels")), qPrintable(seen()));
    QVERIFY(!QFile::exists(home.filePath(QStringLiteral("qzmonitor.lock"))));
    watcher.stop();
}

void TestHeadless::killedAndRestartedLosesNothing()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    QTemporaryDir home;
    prepareHome(home.path(), sim.path());
    const QString wwdd = home.filePath(QStringLiteral("wwdd.db"));
    QStringList seen;
    {
        Program station(Headless, {QStringLiteral("--home"), home.path()});
        QVERIFY(station.process().waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 4, 15000);
        seen = sqlColumn(wwdd, QStringLiteral("select datim from wwdd order by datim"));
        station.signal(SIGKILL);
        QVERIFY(station.process().waitForFinished(5000));
    }
    {
        Program station(Headless, {QStringLiteral("--home"), home.path()});
        QVERIFY(station.process().waitForStarted(5000));
        const int count = int(seen.size());
        QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= count + 3, 15000);
        station.signal(SIGTERM);
        QVERIFY(station.process().waitForFinished(10000));
        QCOMPARE(station.process().exitCode(), 0);
    }
    // Every record seen before the kill is still there; the table is sound; the journal knows
    // the first run did not end cleanly.
    const QStringList after = sqlColumn(wwdd, QStringLiteral("select datim from wwdd order by datim"));
    for (const QString &t : std::as_const(seen))
        QVERIFY2(after.contains(t), qPrintable(t));
    QCOMPARE(sqlColumn(wwdd, QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
    const QStringList kinds = stationKinds(home.path());
    QCOMPARE(kinds.filter(QStringLiteral("程序启动")).size(), 2);
    QVERIFY2(kinds.filter(QStringLiteral("程序启动")).last().contains(QStringLiteral("上次运行未正常结束")), qPrintable(kinds.join(u'\n')));
}

void TestHeadless::oneStationPerDirectoryWhicheverKind()
{
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    QTemporaryDir home;
    prepareHome(home.path(), sim.path());

    // The service holds the directory: a window started there says so, naming the service,
    // and exits without touching a file; so does a second service.
    {
        Program service(Headless, {QStringLiteral("--home"), home.path()});
        QVERIFY(service.process().waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home.path()) >= 1, 15000);

        QProcess window;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        window.setProcessEnvironment(env);
        window.start(Monitor, {QStringLiteral("--home"), home.path(), QStringLiteral("--start")});
        QVERIFY(window.waitForFinished(15000));
        QCOMPARE(window.exitCode(), 1);
        const QString said = QString::fromUtf8(window.readAllStandardError());
        QVERIFY2(said.contains(QStringLiteral("qzstation.service")), qPrintable(said));
        QVERIFY2(said.contains(QString::number(service.pid())), qPrintable(said));

        Program second(Headless, {QStringLiteral("--home"), home.path()});
        QVERIFY(second.process().waitForFinished(15000));
        QCOMPARE(second.process().exitCode(), 1);
        QVERIFY(service.process().state() == QProcess::Running);
        service.signal(SIGTERM);
        QVERIFY(service.process().waitForFinished(10000));
    }
    // The window holds it: the service refuses to start there.
    {
        QProcess window;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        window.setProcessEnvironment(env);
        window.start(Monitor, {QStringLiteral("--home"), home.path(), QStringLiteral("--start")});
        QVERIFY(window.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home.filePath(QStringLiteral("qzmonitor.lock"))), 10000);
        Program service(Headless, {QStringLiteral("--home"), home.path()});
        QVERIFY(service.process().waitForFinished(15000));
        QCOMPARE(service.process().exitCode(), 1);
        const QString said = QString::fromUtf8(service.process().readAllStandardError());
        QVERIFY2(said.contains(QString::number(window.processId())), qPrintable(said));
        window.terminate();
        QVERIFY(window.waitForFinished(10000));
    }
}

QTEST_GUILESS_MAIN(TestHeadless)
#include "tst_headless.moc"
