// A station that cannot store says so until it can: "存盘失败" is an alarm from the first failed
// storage tick until a record is stored again, counted in the fourth panel (in red), notified,
// journaled. An empty wwdd.db gets the table; any other file that is not ours is refused and
// never changed. A full file system, then space freed: the alarm comes and goes and nothing is
// corrupted; below the free-space line "磁盘空间不足" stands. Real timers against qzsim; the
// file-system cases run as root in a private mount namespace (the test runs itself again under
// `unshare -m`), so the small file systems they mount are seen by nobody else.
#include "MainF.h"

#include "AlarmCenter.h"
#include "EventJournal.h"
#include "ScriptedPrompter.h"
#include "Simulator.h"
#include "StationFiles.h"
#include "StationAlarmBoard.h"
#include "StationOptions.h"
#include "WindowState.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <sys/mount.h>
#include <unistd.h>

namespace {

const char *const PrivateMountsVariable = "QZ_TEST_PRIVATE_MOUNTS";

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray fileHash(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) : QByteArray();
}



// The storage alarm as the window's alarm list has it (Normal when it is not listed).
AlarmState storageAlarm(const TMainFrm &w)
{
    for (const Alarm &a : w.AlarmView->alarms())
        if (a.key.source == AlarmSource::Storage && a.key.kind == StorageFailedKind)
            return a.state;
    return AlarmState::Normal;
}

AlarmState diskAlarm(const TMainFrm &w)
{
    for (const Alarm &a : w.AlarmView->alarms())
        if (a.key.source == AlarmSource::Storage && a.key.kind == DiskLowKind)
            return a.state;
    return AlarmState::Normal;
}

// Lines of the notification command's log that tell of a storage alarm's transition.
int notified(const QString &log, const QString &kind, const QString &transition)
{
    QFile f(log);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    int n = 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(u'|');
        n += fields.size() > 5 && fields.at(3) == kind && fields.at(5) == transition;
    }
    return n;
}

// Fills the file system of dir to its last block; returns the filler's path.
QString fillUp(const QString &dir)
{
    const QString path = dir + QStringLiteral("/filler");
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    const QByteArray block(64 * 1024, 'x');
    while (f.write(block) == block.size() && f.flush()) {
    }
    const QByteArray small(512, 'x');
    while (f.write(small) == small.size() && f.flush()) {
    }
    return path;
}

} // namespace

class TestStorageAlarm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void emptyFileGetsTheTable();
    void unopenableTableRaisesTheAlarm_data();
    void unopenableTableRaisesTheAlarm();
    void fullFileSystemThenFreed();
    void diskSpaceLowThenFreed();

private:
    // A program directory on a tmpfs of the given size (private mount namespace only).
    bool mountSmallFileSystem(const QString &dir, qint64 bytes);
    void prepareHome(const QString &home, const QString &command = QString());
    QString commandLog() const { return m_work->filePath(QStringLiteral("notified.log")); }

    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Simulator> m_sim;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    QStringList m_mounts;
    QString m_savedCwd;
};

void TestStorageAlarm::init()
{
    resetSharedState();
    m_savedCwd = QDir::currentPath();
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    m_prompter = std::make_unique<ScriptedPrompter>();
    m_sim = std::make_unique<Simulator>(simulatorProgram());
    QVERIFY(m_sim->start({QStringLiteral("--channels"), QStringLiteral("16")}));
}

void TestStorageAlarm::cleanup()
{
    m_sim.reset();
    m_prompter.reset();
    QDir::setCurrent(m_savedCwd);
    for (const QString &dir : std::as_const(m_mounts))
        ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH);
    m_mounts.clear();
    m_work.reset();
}

bool TestStorageAlarm::mountSmallFileSystem(const QString &dir, qint64 bytes)
{
    if (!qEnvironmentVariableIsSet(PrivateMountsVariable))
        return false;
    QDir().mkpath(dir);
    const QByteArray options = "size=" + QByteArray::number(bytes);
    if (::mount("qz-test", QFile::encodeName(dir).constData(), "tmpfs", 0, options.constData()) != 0)
        return false;
    m_mounts.append(dir);
    return true;
}

void TestStorageAlarm::prepareHome(const QString &home, const QString &command)
{
    QVERIFY(QDir().mkpath(home));
    QByteArray ini = QStringLiteral("[communication]\r\nCOM=COM1\r\nBps=9600\r\n[devices]\r\nCOM1=%1\r\n").arg(m_sim->path()).toUtf8();
    if (!command.isEmpty())
        ini += "[alarms]\r\nDeadband=1\r\nOnDelaySeconds=5\r\nCommand=" + command.toUtf8() + "\r\n";
    writeFile(home + QStringLiteral("/KTcom.ini"), ini);
    writeFile(home + QStringLiteral("/Sys_Para.Pf"), "16\r\n1000\r\n");
    QCOMPARE(enterProgramDirectory(home), QString());
}

void TestStorageAlarm::emptyFileGetsTheTable()
{
    // As the sqlite3 shell leaves it when run before the first start.
    const QString home = m_work->filePath(QStringLiteral("home"));
    prepareHome(home);
    writeFile(home + QStringLiteral("/wwdd.db"), QByteArray());

    TMainFrm w(nullptr, true);
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home) >= 3, 10000);
    QCOMPARE(storageAlarm(w), AlarmState::Normal);
    QVERIFY(w.lastSnapshot().storageError.isEmpty());
    QVERIFY(m_prompter->errors.isEmpty());
    QVERIFY(m_prompter->noticeTexts().isEmpty());
}

void TestStorageAlarm::unopenableTableRaisesTheAlarm_data()
{
    QTest::addColumn<QString>("what");
    QTest::newRow("a directory of that name") << QStringLiteral("directory");
    QTest::newRow("a foreign SQLite file") << QStringLiteral("foreign");
}

void TestStorageAlarm::unopenableTableRaisesTheAlarm()
{
    QFETCH(QString, what);
    const QString home = m_work->filePath(QStringLiteral("home"));
    const QString script = m_work->filePath(QStringLiteral("notify.sh"));
    writeFile(script, QStringLiteral("#!/bin/sh\nIFS='|'\necho \"$*\" >> '%1'\n").arg(commandLog()).toUtf8());
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    prepareHome(home, script);
    const QString wwdd = home + QStringLiteral("/wwdd.db");
    QByteArray before;
    if (what == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(wwdd));
    } else {
        // Another program's database, in its own (rollback) journal mode.
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"), {wwdd, QStringLiteral("create table tanks(id integer primary key, name text);"
                                                                      "insert into tanks(name) values('T1'),('T2');")});
        QVERIFY(sqlite.waitForFinished(10000));
        QCOMPARE(sqlite.exitCode(), 0);
        before = fileHash(wwdd);
        QVERIFY(!before.isEmpty());
    }

    TMainFrm w(nullptr, true); // started by itself: nothing waits for OK
    // From the first failed storage tick (one period, 1 s, after the start) the alarm stands.
    QTRY_COMPARE_WITH_TIMEOUT(storageAlarm(w), AlarmState::ActiveUnacked, 3000);
    // Held for two more periods and longer: it stays, and the command heard of it once.
    QTest::qWait(3 * 1000);
    QCOMPARE(storageAlarm(w), AlarmState::ActiveUnacked);
    QTRY_COMPARE_WITH_TIMEOUT(notified(commandLog(), StorageFailedKind, QStringLiteral("raised")), 1, 5000);
    QCOMPARE(notified(commandLog(), StorageFailedKind, QStringLiteral("returned")), 0);

    // Counted in the fourth panel with the instrument alarms, which turns red and says why.
    const StationSnapshot s = w.lastSnapshot();
    QVERIFY(s.unacknowledged >= 1);
    QCOMPARE(w.statusPanelText(3), alarmPanelText(s.unacknowledged));
    QVERIFY(w.StatusPanels[3]->autoFillBackground());
    QCOMPARE(w.StatusPanels[3]->palette().color(QPalette::Window), QColor(Qt::red));
    QVERIFY2(w.StatusPanels[3]->toolTip().startsWith(StorageFailedKind + QStringLiteral("：数据表")),
             qPrintable(w.StatusPanels[3]->toolTip()));
    // The detail: the Chinese reason first, then the technical text.
    for (const Alarm &a : w.AlarmView->alarms())
        if (a.key.kind == StorageFailedKind)
            QVERIFY2(a.detail.startsWith(QStringLiteral("数据表")) && a.detail.contains(u'\n'), qPrintable(a.detail));
    // Said once in the standard error box, not every period.
    QCOMPARE(m_prompter->errors.size(), 1);
    QVERIFY2(m_prompter->errors.first().startsWith(QStringLiteral("数据表")), qPrintable(m_prompter->errors.first()));

    // The file that is not ours is left exactly as it was.
    if (what == QLatin1String("directory")) {
        QVERIFY(QFileInfo(wwdd).isDir());
        QVERIFY(QDir(wwdd).isEmpty());
    } else {
        QCOMPARE(fileHash(wwdd), before);
        QVERIFY(!QFile::exists(wwdd + QStringLiteral("-wal")));
        QCOMPARE(sqlColumn(wwdd, QStringLiteral("select count(*) from tanks")), QStringList{QStringLiteral("2")});
    }
}

void TestStorageAlarm::fullFileSystemThenFreed()
{
    if (!qEnvironmentVariableIsSet(PrivateMountsVariable))
        QSKIP("needs root and unshare: a small file system is mounted in a private mount namespace");
    const QString fs = m_work->filePath(QStringLiteral("fs"));
    QVERIFY(mountSmallFileSystem(fs, 16 * 1024 * 1024));
    const QString home = fs + QStringLiteral("/home");
    const QString script = m_work->filePath(QStringLiteral("notify.sh")); // on the disk that stays free
    writeFile(script, QStringLiteral("#!/bin/sh\nIFS='|'\necho \"$*\" >> '%1'\n").arg(commandLog()).toUtf8());
    QVERIFY(QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    prepareHome(home, script);

    TMainFrm w(nullptr, true);
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home) >= 3, 10000);
    QCOMPARE(storageAlarm(w), AlarmState::Normal);
    const QStringList before = sqlColumn(home + QStringLiteral("/wwdd.db"), QStringLiteral("select datim from wwdd order by datim"));

    // The disk fills up: the alarm within a few periods, and it stands while the disk is full.
    const QString filler = fillUp(fs);
    QVERIFY(!filler.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(isActive(storageAlarm(w)), 10000);
    QVERIFY(!w.lastSnapshot().storageError.isEmpty());
    QTest::qWait(3 * 1000);
    QVERIFY(isActive(storageAlarm(w)));

    // Space comes back: records are stored again and the alarm returns.
    QVERIFY(QFile::remove(filler));
    const int atFree = measuredCount(home);
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home) >= atFree + 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!isActive(storageAlarm(w)), 5000);
    QVERIFY(w.lastSnapshot().storageError.isEmpty());
    QVERIFY(!w.StatusPanels[3]->autoFillBackground());
    QTRY_COMPARE_WITH_TIMEOUT(notified(commandLog(), StorageFailedKind, QStringLiteral("returned")), 1, 5000);
    QCOMPARE(notified(commandLog(), StorageFailedKind, QStringLiteral("raised")), 1);

    // Nothing was corrupted or lost: every record from before is there, the table is sound,
    // and the journal caught up with what it could not write while the disk was full.
    const QString wwdd = home + QStringLiteral("/wwdd.db");
    QCOMPARE(sqlColumn(wwdd, QStringLiteral("pragma integrity_check")), QStringList{QStringLiteral("ok")});
    const QStringList after = sqlColumn(wwdd, QStringLiteral("select datim from wwdd order by datim"));
    for (const QString &t : before)
        QVERIFY2(after.contains(t), qPrintable(t));
    QTRY_VERIFY_WITH_TIMEOUT(sqlColumn(eventJournalPath(home), QStringLiteral("select count(*) from events where kind = '存盘失败' "
                                                                        "and transition in ('raised', 'returned')"))
                                 == QStringList{QStringLiteral("2")},
                             40000);
}

void TestStorageAlarm::diskSpaceLowThenFreed()
{
    if (!qEnvironmentVariableIsSet(PrivateMountsVariable))
        QSKIP("needs root and unshare: a file system is mounted in a private mount namespace");
    // A file system a little larger than the 1 GiB the station keeps free (tmpfs takes memory
    // only for what is written).
    const QString fs = m_work->filePath(QStringLiteral("fs"));
    QVERIFY(mountSmallFileSystem(fs, qint64(1200) * 1024 * 1024));
    const QString home = fs + QStringLiteral("/home");
    prepareHome(home);

    TMainFrm w(nullptr, true);
    w.Core.post([](Station &s) { s.DiskCheck.setInterval(500); });
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home) >= 2, 10000);
    QTest::qWait(2 * 500 + 200);
    QCOMPARE(diskAlarm(w), AlarmState::Normal);

    // 300 MiB written: below the line.
    const QString filler = fs + QStringLiteral("/filler");
    {
        QFile f(filler);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QByteArray block(1024 * 1024, 'x');
        for (int i = 0; i < 300; ++i)
            QCOMPARE(f.write(block), qint64(block.size()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(diskAlarm(w), AlarmState::ActiveUnacked, 5000);
    for (const Alarm &a : w.AlarmView->alarms())
        if (a.key.kind == DiskLowKind)
            QVERIFY2(a.detail.startsWith(QStringLiteral("程序目录所在磁盘只剩")), qPrintable(a.detail));
    // Records are still stored: the warning comes before the disk is full.
    const int atLow = measuredCount(home);
    QTRY_VERIFY_WITH_TIMEOUT(measuredCount(home) >= atLow + 2, 10000);

    QVERIFY(QFile::remove(filler));
    QTRY_COMPARE_WITH_TIMEOUT(diskAlarm(w), AlarmState::ReturnedUnacked, 5000);
}

int main(int argc, char *argv[])
{
    // As root, run again in a mount namespace of our own, so what is mounted is seen by nobody
    // else and goes away with the test.
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet(PrivateMountsVariable)) {
        qputenv(PrivateMountsVariable, "1");
        std::vector<char *> args{const_cast<char *>("unshare"), const_cast<char *>("-m"),
                                 const_cast<char *>("--propagation"), const_cast<char *>("private")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execvp("unshare", args.data());
        qunsetenv(PrivateMountsVariable); // no unshare: the file-system cases skip
    }
    QApplication app(argc, argv);
    TestStorageAlarm test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storagealarm.moc"
