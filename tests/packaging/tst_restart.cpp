// The installed station under its units, killed with -9: it is running and storing again soon
// after (the unit starts it again 3 s after a crash), and its history table is intact. A
// station ended with SIGTERM (a clean stop) is not started again. Two units: the window's user
// unit (qzmonitor.service) and the headless station's system unit (qzstation.service, with its
// sandbox).
//
// The units run under a real systemd user manager where one can be started: as root, in a
// private mount namespace whose /run/systemd says "booted with systemd", with its own
// XDG_RUNTIME_DIR; nothing outside the namespace changes. A user manager cannot switch users, so
// the system unit runs there without User=, Group= and SupplementaryGroups=, with the
// simulator's pseudo-terminals allowed beside the serial devices (a drop-in, as an operator
// would add for another device), and without the sandbox settings this machine's manager
// refuses to set up (probed, and named in the log). Without a user manager (and always as a
// second row for the user unit) tests/packaging/supervise.sh runs the unit file the way the
// service manager would.
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
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

const QString SystemdProgram = QStringLiteral("/lib/systemd/systemd");



bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

int runQuiet(const QString &program, const QStringList &args, const QProcessEnvironment &env, QString *output = nullptr)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Runs the unit and tells the id of its running process (0 when none).
class ServiceRunner {
public:
    virtual ~ServiceRunner() = default;
    virtual bool start(QString *why) = 0;
    virtual qint64 mainPid() = 0;
    virtual void stop() = 0;
};

// A private systemd user manager; the unit is enabled and started as the README says.
class UserManager final : public ServiceRunner {
public:
    UserManager(const QString &unitFile, const QString &unitName, const QProcessEnvironment &env,
                const QString &dropIn = QString())
        : m_unitFile(unitFile), m_unit(unitName), m_dropIn(dropIn), m_env(env)
    {
    }
    ~UserManager() override { stop(); }

    static bool available()
    {
        if (::geteuid() != 0 || !QFileInfo(SystemdProgram).isExecutable() || !QFileInfo(QStringLiteral("/run/systemd")).isDir()
            || QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty())
            return false;
        return runQuiet(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")},
                        QProcessEnvironment::systemEnvironment()) == 0;
    }

    bool start(QString *why) override
    {
        if (m_manager.state() == QProcess::NotRunning && !launch(why))
            return false;
        // The unit goes where a user's own units go: ~/.config/systemd/user.
        const QString userUnits = unitDirectory();
        if (!QDir().mkpath(userUnits) || !QFile::copy(m_unitFile, userUnits + u'/' + m_unit)) {
            *why = QStringLiteral("cannot place the unit in ") + userUnits;
            return false;
        }
        if (!m_dropIn.isEmpty()) {
            const QString dir = userUnits + u'/' + m_unit + QStringLiteral(".d");
            if (!QDir().mkpath(dir) || !writeFile(dir + QStringLiteral("/test.conf"), m_dropIn.toUtf8())) {
                *why = QStringLiteral("cannot place the drop-in in ") + dir;
                return false;
            }
        }
        QString said;
        if (systemctl({QStringLiteral("daemon-reload")}, &said) != 0) {
            *why = QStringLiteral("systemctl --user daemon-reload: ") + said;
            return false;
        }
        if (systemctl({QStringLiteral("enable"), QStringLiteral("--now"), m_unit}, &said) != 0) {
            *why = QStringLiteral("systemctl --user enable --now %1: ").arg(m_unit) + said;
            return false;
        }
        return true;
    }

    // Starts the manager alone (start() does it too): to probe it first.
    bool launch(QString *why)
    {
        m_manager.setProcessEnvironment(m_env);
        m_manager.setProcessChannelMode(QProcess::MergedChannels);
        m_manager.start(QStringLiteral("unshare"),
                        {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                         QStringLiteral("mount -t tmpfs qz-test /run/systemd && mkdir /run/systemd/system && exec %1 --user")
                             .arg(SystemdProgram)});
        const QString socket = m_env.value(QStringLiteral("XDG_RUNTIME_DIR")) + QStringLiteral("/systemd/private");
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(socket) && t.elapsed() < 20000 && m_manager.state() != QProcess::NotRunning)
            QTest::qWait(100);
        if (!QFileInfo::exists(socket)) {
            *why = QStringLiteral("the user manager did not come up: ") + QString::fromUtf8(m_manager.readAll());
            return false;
        }
        return true;
    }

    // Whether this manager can start a service with the given [Service] setting (some sandbox
    // settings need kernel features a container may not give).
    bool canApply(const QString &setting)
    {
        const QString userUnits = unitDirectory();
        const QString probe = QStringLiteral("qz-probe.service");
        QDir().mkpath(userUnits);
        writeFile(userUnits + u'/' + probe, QStringLiteral("[Service]\nExecStart=/bin/sleep 30\n%1\n").arg(setting).toUtf8());
        systemctl({QStringLiteral("daemon-reload")});
        systemctl({QStringLiteral("reset-failed"), probe});
        const bool started = systemctl({QStringLiteral("start"), probe}) == 0;
        QTest::qWait(300);
        QString state;
        systemctl({QStringLiteral("is-active"), probe}, &state);
        systemctl({QStringLiteral("stop"), probe});
        QFile::remove(userUnits + u'/' + probe);
        return started && state == QLatin1String("active");
    }

    qint64 mainPid() override { return show(QStringLiteral("MainPID")).toLongLong(); }
    QString show(const QString &property)
    {
        QString value;
        systemctl({QStringLiteral("show"), QStringLiteral("-p"), property, QStringLiteral("--value"), m_unit}, &value);
        return value;
    }

    void stop() override
    {
        if (m_manager.state() == QProcess::NotRunning)
            return;
        systemctl({QStringLiteral("stop"), m_unit});
        systemctl({QStringLiteral("exit")});
        if (!m_manager.waitForFinished(15000)) {
            m_manager.kill();
            m_manager.waitForFinished(5000);
        }
    }

private:
    // $XDG_CONFIG_HOME/systemd/user, by default ~/.config/systemd/user.
    QString unitDirectory() const
    {
        const QString config = m_env.value(QStringLiteral("XDG_CONFIG_HOME"), m_env.value(QStringLiteral("HOME")) + QStringLiteral("/.config"));
        return config + QStringLiteral("/systemd/user");
    }

    int systemctl(QStringList args, QString *output = nullptr)
    {
        args.prepend(QStringLiteral("--user"));
        return runQuiet(QStringLiteral("systemctl"), args, m_env, output);
    }

    QString m_unitFile;
    QString m_unit;
    QString m_dropIn;
    QProcessEnvironment m_env;
    QProcess m_manager;
};

// The restart loop of the unit, run by tests/packaging/supervise.sh.
class SupervisorScript final : public ServiceRunner {
public:
    SupervisorScript(const QString &unitFile, const QString &pidFile, const QProcessEnvironment &env)
        : m_unitFile(unitFile), m_pidFile(pidFile)
    {
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }
    ~SupervisorScript() override { stop(); }

    bool start(QString *why) override
    {
        m_process.start(QStringLiteral("bash"), {QStringLiteral(QZ_SOURCE_DIR "/tests/packaging/supervise.sh"), m_unitFile, m_pidFile});
        if (!m_process.waitForStarted(10000)) {
            *why = m_process.errorString();
            return false;
        }
        return true;
    }
    qint64 mainPid() override
    {
        QFile f(m_pidFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : 0;
    }
    void stop() override
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(15000)) {
            if (const qint64 pid = mainPid(); pid > 0)
                ::kill(pid_t(pid), SIGKILL);
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QString log() { return QString::fromUtf8(m_process.readAll()); }

private:
    QString m_unitFile;
    QString m_pidFile;
    QProcess m_process;
};

} // namespace

class TestRestart : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void killedStationComesBack_data();
    void killedStationComesBack();
};

bool underTmp(const QString &path)
{
    const QString dir = QDir(path).canonicalPath() + u'/';
    return dir.startsWith(QLatin1String("/tmp/")) || dir.startsWith(QLatin1String("/var/tmp/"));
}

// The sandbox settings of the system unit: what a user manager in a container may refuse.
const QStringList SandboxKeys = {
    QStringLiteral("ProtectSystem"), QStringLiteral("ProtectHome"), QStringLiteral("PrivateTmp"),
    QStringLiteral("PrivateMounts"), QStringLiteral("DevicePolicy"), QStringLiteral("ProtectKernelTunables"),
    QStringLiteral("ProtectKernelModules"), QStringLiteral("ProtectKernelLogs"), QStringLiteral("ProtectControlGroups"),
    QStringLiteral("ProtectClock"), QStringLiteral("ProtectHostname"), QStringLiteral("ProtectProc"),
    QStringLiteral("ProcSubset"), QStringLiteral("RestrictNamespaces"), QStringLiteral("MemoryDenyWriteExecute"),
    QStringLiteral("SystemCallFilter"), QStringLiteral("RestrictAddressFamilies"), QStringLiteral("KeyringMode")};

void TestRestart::killedStationComesBack_data()
{
    QTest::addColumn<bool>("systemd");
    QTest::addColumn<QString>("unitName");
    if (UserManager::available()) {
        QTest::newRow("systemd user manager, user unit") << true << QStringLiteral("qzmonitor.service");
        QTest::newRow("systemd user manager, system unit") << true << QStringLiteral("qzstation.service");
    } else {
        qInfo("no systemd user manager can run here (needs root, unshare and systemd): the user unit runs under "
              "supervise.sh only, the system unit not at all");
    }
    QTest::newRow("supervise.sh, user unit") << false << QStringLiteral("qzmonitor.service");
}

void TestRestart::killedStationComesBack()
{
    QFETCH(bool, systemd);
    QFETCH(QString, unitName);
    const bool systemUnit = unitName == QLatin1String("qzstation.service");
    // The station, its prefix and its directory are all in the build tree; the system unit's
    // sandbox (a private /tmp, the rest of the file system read-only) hides one under /tmp.
    if (systemUnit && underTmp(QStringLiteral(QZ_BINARY_DIR)))
        QSKIP("the build tree lies under /tmp, which the system unit's sandbox hides from the station");
    QTemporaryDir tmp(QStringLiteral(QZ_BINARY_DIR "/tst_restart-XXXXXX"));
    QVERIFY(tmp.isValid());

    // The station as installed: its unit names the installed executable.
    const QString prefix = tmp.filePath(QStringLiteral("prefix"));
    QString said;
    QCOMPARE(runQuiet(QStringLiteral(QZ_CMAKE_COMMAND), {"--install", QZ_BINARY_DIR, "--prefix", prefix},
                      QProcessEnvironment::systemEnvironment(), &said),
             0);
    QFile installedUnit(prefix + (systemUnit ? QStringLiteral("/lib/systemd/system/") : QStringLiteral("/lib/systemd/user/"))
                        + unitName);
    QVERIFY(installedUnit.open(QIODevice::ReadOnly));
    QString unit = QString::fromUtf8(installedUnit.readAll());
    const QString execStart = systemUnit ? QStringLiteral("ExecStart=" QZ_INSTALL_FULL_BINDIR "/qzstation --home ${STATE_DIRECTORY}\n")
                                         : QStringLiteral("ExecStart=" QZ_INSTALL_FULL_BINDIR "/qzmonitor --start\n");
    QVERIFY(unit.contains(execStart));
    unit.replace(execStart, QString(execStart).replace(QStringLiteral(QZ_INSTALL_FULL_BINDIR), prefix + QStringLiteral("/bin")));
    const QString unitFile = tmp.filePath(unitName);

    // The user's session: a home of its own, a runtime directory, no display.
    const QString home = tmp.filePath(QStringLiteral("home"));
    const QString runtime = tmp.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY",
                             "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));

    // The station's files: the installed window keeps them in the per-user data directory; the
    // system unit's state directory is, under a user manager, in the configuration or state
    // home (by systemd version): both are one directory here.
    QString station = home + QStringLiteral("/.local/share/qzmonitor");
    if (systemUnit) {
        const QString state = tmp.filePath(QStringLiteral("state"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), state);
        env.insert(QStringLiteral("XDG_STATE_HOME"), state);
        station = state + QStringLiteral("/qzmonitor");
    }

    // COM1 is the simulator, 16 channels, a record every second.
    Simulator sim(simulatorProgram());
    QVERIFY(sim.start({QStringLiteral("--channels"), QStringLiteral("16")}));
    QVERIFY(QDir().mkpath(station));
    QVERIFY(writeFile(station + QStringLiteral("/KTcom.ini"),
                      QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(sim.path()).toUtf8()));
    QVERIFY(writeFile(station + QStringLiteral("/Sys_Para.Pf"), "16\r\n1000\r\n"));

    std::unique_ptr<ServiceRunner> runner;
    QString why;
    if (systemd && systemUnit) {
        // A user manager cannot switch users; the pseudo-terminal is allowed beside the serial
        // devices; sandbox settings the manager here cannot set up are left out (and named).
        QString dropIn = QStringLiteral("[Service]\nDeviceAllow=char-pts rw\n");
        // In the sanitizer build: LeakSanitizer stops the process with ptrace at its exit, which
        // the unit's system call filter refuses; it would then abort, and a clean stop would
        // read as a crash and be restarted. Leaks are looked for in the other tests.
        if (const QString asan = env.value(QStringLiteral("ASAN_OPTIONS")); !asan.isEmpty())
            dropIn += QStringLiteral("Environment=\"ASAN_OPTIONS=%1:detect_leaks=0\"\n").arg(asan);
        auto manager = std::make_unique<UserManager>(unitFile, unitName, env, dropIn);
        QVERIFY2(manager->launch(&why), qPrintable(why));
        QStringList kept, refused;
        for (const QString &line : unit.split(u'\n')) {
            const QString key = line.section(u'=', 0, 0);
            if (key == QLatin1String("User") || key == QLatin1String("Group") || key == QLatin1String("SupplementaryGroups"))
                continue;
            if (SandboxKeys.contains(key) && !manager->canApply(line)) {
                refused.append(line);
                continue;
            }
            kept.append(line);
        }
        if (!refused.isEmpty())
            qInfo("this machine's user manager cannot set up: %s", qPrintable(refused.join(QStringLiteral(", "))));
        // Most of the sandbox must be in force, or the run proves little.
        QVERIFY2(refused.size() <= 4, qPrintable(refused.join(u',')));
        unit = kept.join(u'\n');
        runner = std::move(manager);
    }
    QVERIFY(writeFile(unitFile, unit.toUtf8()));
    if (!runner) {
        if (systemd)
            runner = std::make_unique<UserManager>(unitFile, unitName, env);
        else
            runner = std::make_unique<SupervisorScript>(unitFile, tmp.filePath(QStringLiteral("station.pid")), env);
    }
    QVERIFY2(runner->start(&why), qPrintable(why));
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(station) >= 2, 30000);
    const qint64 first = runner->mainPid();
    QVERIFY(first > 0);

    // kill -9: nothing of the station runs its clean-up.
    QVERIFY(::kill(pid_t(first), SIGKILL) == 0);
    QElapsedTimer sinceKill;
    sinceKill.start();
    QTest::qWait(200);
    const int atKill = measuredCount(station);
    qint64 second = 0;
    while (sinceKill.elapsed() < 30000) {
        second = runner->mainPid();
        if (second > 0 && second != first && measuredCount(station) > atKill)
            break;
        QTest::qWait(100);
    }
    const qint64 backAfterMs = sinceKill.elapsed();
    QVERIFY2(second > 0 && second != first, qPrintable(QStringLiteral("no new station process (%1)").arg(second)));
    QVERIFY2(measuredCount(station) > atKill,
             qPrintable(QStringLiteral("the restarted station stores no measured values; its journal:\n")
                        + sqlColumn(station + QStringLiteral("/Data/events.db"),
                              QStringLiteral("select time || ' ' || kind || ' ' || detail from events"))
                              .join(u'\n')));
    qInfo("%s: killed station running and storing measured values again after %lld ms",
          systemd ? "systemd" : "supervise.sh", backAfterMs);
    QCOMPARE(sqlColumn(station + QStringLiteral("/wwdd.db"), QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
    if (systemd)
        QCOMPARE(static_cast<UserManager *>(runner.get())->show(QStringLiteral("NRestarts")), QStringLiteral("1"));

    // SIGTERM is a clean stop (logout, shutdown): not followed by another start, even after
    // the restart delay has passed.
    QVERIFY(::kill(pid_t(second), SIGTERM) == 0);
    // A stop has 30 s before the system unit kills (TimeoutStopSec=30; the user unit allows more).
    QTRY_VERIFY_WITH_TIMEOUT(runner->mainPid() == 0, 30000);
    if (const qint64 still = runner->mainPid(); still != 0) {
        QString state;
        if (systemd) {
            auto *manager = static_cast<UserManager *>(runner.get());
            for (const char *p : {"ActiveState", "SubState", "NRestarts", "ExecMainStatus", "ExecMainCode", "Result"})
                state += QStringLiteral("%1=%2 ").arg(QLatin1String(p), manager->show(QLatin1String(p)));
        }
        QFile wchan(QStringLiteral("/proc/%1/wchan").arg(still));
        if (wchan.open(QIODevice::ReadOnly))
            state += QStringLiteral("wchan=") + QString::fromLatin1(wchan.readAll());
        QFAIL(qPrintable(QStringLiteral("station %1 got SIGTERM; main process now %2; %3; its journal:\n%4")
                             .arg(second).arg(still).arg(state,
                                  sqlColumn(station + QStringLiteral("/Data/events.db"),
                                            QStringLiteral("select time || ' ' || kind || ' ' || detail from events"))
                                      .join(u'\n'))));
    }
    QTest::qWait(5000);
    QCOMPARE(runner->mainPid(), qint64(0));
    const int atStop = measuredCount(station);
    QCOMPARE(sqlColumn(station + QStringLiteral("/wwdd.db"), QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
    QVERIFY(atStop > atKill);
    runner->stop();
}

QTEST_GUILESS_MAIN(TestRestart)
#include "tst_restart.moc"
