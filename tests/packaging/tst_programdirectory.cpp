// Where the station keeps its files when --home is not given: beside the executable in a
// build tree, in the per-user data directory once installed (also when run as root, for whom
// /usr/bin is writable).
#include "StationOptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestProgramDirectory : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void installedOrBuildTree_data();
    void installedOrBuildTree();
    void defaultDirectory();
};

void TestProgramDirectory::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("qzmonitor"));
    QStandardPaths::setTestModeEnabled(false);
}

void TestProgramDirectory::installedOrBuildTree_data()
{
    QTest::addColumn<QString>("executableDir");
    QTest::addColumn<QString>("installBinDir");
    QTest::addColumn<bool>("installed");
    QTest::newRow("configured bin directory") << "/opt/qz/bin" << "/opt/qz/bin" << true;
    QTest::newRow("configured, trailing slash") << "/opt/qz/bin/" << "/opt/qz/bin" << true;
    QTest::newRow("other prefix than configured") << "/opt/other/bin" << "/opt/qz/bin" << false;
    QTest::newRow("/usr/bin") << "/usr/bin" << "/usr/local/bin" << true;
    QTest::newRow("/usr/local/bin") << "/usr/local/bin" << "/usr/bin" << true;
    // Debian merges /bin into /usr/bin: the same directory under two names.
    QTest::newRow("/bin") << "/bin" << "" << true;
    QTest::newRow("/usr/lib is no bin directory") << "/usr/lib" << "/usr/bin" << false;
    QTest::newRow("build tree") << QZ_BINARY_DIR "/src/app" << "/usr/local/bin" << false;
    QTest::newRow("empty") << "" << "/usr/bin" << false;
}

void TestProgramDirectory::installedOrBuildTree()
{
    QFETCH(QString, executableDir);
    QFETCH(QString, installBinDir);
    QFETCH(bool, installed);
    QCOMPARE(isInstalledProgramDirectory(executableDir, installBinDir), installed);
}

void TestProgramDirectory::defaultDirectory()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString perUser = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY2(perUser.endsWith(QLatin1String("/qzmonitor")), qPrintable(perUser));

    // A writable build directory is the program directory, as before.
    const QString build = tmp.filePath(QStringLiteral("build/src/app"));
    QVERIFY(QDir().mkpath(build));
    QCOMPARE(defaultProgramDirectory(build, QStringLiteral("/usr/local/bin")), build);

    // Installed: the per-user directory even where the bin directory is writable (root; or a
    // prefix the user owns).
    QCOMPARE(defaultProgramDirectory(build, build), perUser);
    QCOMPARE(defaultProgramDirectory(QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")), perUser);

    // An install tree moved elsewhere (cmake --install --prefix, a copied tree) is known by
    // its desktop entry beside the bin directory.
    const QString moved = tmp.filePath(QStringLiteral("moved"));
    QVERIFY(QDir().mkpath(moved + QStringLiteral("/bin")));
    QCOMPARE(defaultProgramDirectory(moved + QStringLiteral("/bin"), QStringLiteral("/usr/bin")),
             moved + QStringLiteral("/bin"));
    QVERIFY(QDir().mkpath(moved + QStringLiteral("/share/applications")));
    QFile entry(moved + QStringLiteral("/share/applications/qzmonitor.desktop"));
    QVERIFY(entry.open(QIODevice::WriteOnly));
    entry.close();
    QCOMPARE(defaultProgramDirectory(moved + QStringLiteral("/bin"), QStringLiteral("/usr/bin")), perUser);
    // ... but only a directory named bin: a build tree next to a share/ stays a build tree.
    QVERIFY(QDir().mkpath(moved + QStringLiteral("/app")));
    QCOMPARE(defaultProgramDirectory(moved + QStringLiteral("/app"), QStringLiteral("/usr/bin")),
             moved + QStringLiteral("/app"));

    // The rule the program itself runs with: the configured install directory.
    QCOMPARE(defaultProgramDirectory(QStringLiteral(QZ_INSTALL_FULL_BINDIR)), perUser);
}

QTEST_GUILESS_MAIN(TestProgramDirectory)
#include "tst_programdirectory.moc"
