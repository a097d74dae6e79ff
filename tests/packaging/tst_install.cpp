// What `cmake --install` puts in place, checked in a temporary prefix the way a package user
// meets it: the file list and modes, the desktop entry (desktop-file-validate), the icons, the
// manual pages against each program's --help, the user unit and the system unit of the
// headless station (systemd-analyze verify, its sandbox by systemd-analyze security), the
// Debian documentation files, and the installed station itself: it runs, and keeps its files
// in the per-user data directory.
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct Run {
    int code = -1;
    QString out, err;
};

Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("%1 did not finish: %2").arg(program, p.errorString());
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The long options a program's --help names ("--home", "--export-csv", ...).
QStringList longOptions(const QString &help)
{
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--[a-z][a-z-]*"));
    QStringList out;
    for (auto it = option.globalMatch(help); it.hasNext();) {
        const QString o = it.next().captured(0);
        if (!out.contains(o))
            out.append(o);
    }
    return out;
}

// The key = value lines of the [Desktop Entry] group.
QMap<QString, QString> desktopEntry(const QString &path)
{
    QMap<QString, QString> keys;
    bool inGroup = false;
    for (const QString &line : QString::fromUtf8(readFile(path)).split(u'\n')) {
        if (line.startsWith(u'['))
            inGroup = line == QLatin1String("[Desktop Entry]");
        else if (inGroup && line.contains(u'='))
            keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
    }
    return keys;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void fileListAndModes();
    void desktopEntryAndIcons();
    void manualPagesMatchHelp_data();
    void manualPagesMatchHelp();
    void userUnit();
    void systemUnit();
    void debianDocumentation();
    void installedStationRunsAndUsesPerUserDirectory();

private:
    QTemporaryDir m_tmp;
    QString m_prefix;
};

void TestInstall::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    m_prefix = m_tmp.filePath(QStringLiteral("prefix"));
    const Run r = run(QStringLiteral(QZ_CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(QZ_BINARY_DIR), QStringLiteral("--prefix"), m_prefix});
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
}

void TestInstall::fileListAndModes()
{
    QStringList files;
    QDirIterator it(m_prefix, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next().mid(m_prefix.size() + 1));
    files.sort();
    const QStringList expected{
        "bin/qzcollect",
        "bin/qzmonitor",
        "bin/qzpoll",
        "bin/qzsim",
        "bin/qzstation",
        "lib/systemd/system/qzstation.service",
        "lib/systemd/user/qzmonitor.service",
        "share/applications/qzmonitor.desktop",
        "share/doc/qzmonitor/changelog.gz",
        "share/doc/qzmonitor/copyright",
        "share/icons/hicolor/48x48/apps/qzmonitor.png",
        "share/icons/hicolor/scalable/apps/qzmonitor.svg",
        "share/man/man1/qzcollect.1.gz",
        "share/man/man1/qzmonitor.1.gz",
        "share/man/man1/qzpoll.1.gz",
        "share/man/man1/qzsim.1.gz",
        "share/man/man1/qzstation.1.gz",
    };
    QCOMPARE(files, expected);

    const auto exec = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
        | QFile::ReadOther | QFile::ExeOther;
    const auto data = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    for (const QString &f : files) {
        // Owner bits come twice in Qt's flags (user and owner); compare the owner, group and
        // other bits only.
        const auto mask = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::WriteGroup
            | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        const auto perms = QFile::permissions(m_prefix + u'/' + f) & mask;
        QVERIFY2(perms == (f.startsWith(QLatin1String("bin/")) ? exec : data), qPrintable(f));
    }
}

void TestInstall::desktopEntryAndIcons()
{
    const QString entry = m_prefix + QStringLiteral("/share/applications/qzmonitor.desktop");
    const Run v = run(QStringLiteral("desktop-file-validate"), {entry});
    QVERIFY2(v.code == 0 && v.out.trimmed().isEmpty() && v.err.trimmed().isEmpty(), qPrintable(v.out + v.err));

    const auto keys = desktopEntry(entry);
    QCOMPARE(keys.value("Type"), QStringLiteral("Application"));
    QCOMPARE(keys.value("Name"), QStringLiteral("QZ Monitor"));
    QCOMPARE(keys.value("Name[zh_CN]"), QStringLiteral("QZ系列智能仪表实时监控系统"));
    QCOMPARE(keys.value("Exec"), QStringLiteral("qzmonitor"));
    QCOMPARE(keys.value("Icon"), QStringLiteral("qzmonitor"));
    QVERIFY(!keys.value("Categories").isEmpty());

    // The icon the entry names, in both forms.
    const QImage png(m_prefix + QStringLiteral("/share/icons/hicolor/48x48/apps/qzmonitor.png"));
    QVERIFY(!png.isNull());
    QCOMPARE(png.size(), QSize(48, 48));
    QVERIFY(png.hasAlphaChannel());
    // Drawn: the centre is opaque, the rounded corner transparent.
    QCOMPARE(qAlpha(png.pixel(24, 24)), 255);
    QCOMPARE(qAlpha(png.pixel(0, 0)), 0);

    QXmlStreamReader svg(readFile(m_prefix + QStringLiteral("/share/icons/hicolor/scalable/apps/qzmonitor.svg")));
    QVERIFY(svg.readNextStartElement());
    QCOMPARE(svg.name(), QStringLiteral("svg"));
    QCOMPARE(svg.attributes().value(QStringLiteral("viewBox")), QStringLiteral("0 0 48 48"));
    int elements = 1;
    while (!svg.atEnd())
        if (svg.readNext() == QXmlStreamReader::StartElement)
            ++elements;
    QVERIFY2(!svg.hasError(), qPrintable(svg.errorString()));
    QVERIFY(elements > 10);
}

void TestInstall::manualPagesMatchHelp_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("qzmonitor") << "qzmonitor";
    QTest::newRow("qzstation") << "qzstation";
    QTest::newRow("qzsim") << "qzsim";
    QTest::newRow("qzpoll") << "qzpoll";
    QTest::newRow("qzcollect") << "qzcollect";
}

void TestInstall::manualPagesMatchHelp()
{
    QFETCH(QString, program);
    const QString page = m_prefix + QStringLiteral("/share/man/man1/%1.1.gz").arg(program);
    const Run text = run(QStringLiteral("gzip"), {QStringLiteral("-dc"), page});
    QVERIFY2(text.code == 0, qPrintable(text.err));
    QVERIFY(text.out.startsWith(QStringLiteral(".TH %1 1 ").arg(program.toUpper())));
    QVERIFY(text.out.contains(QStringLiteral("\"qzmonitor " QZ_VERSION "\"")));

    // Every option --help names is in the page (roff writes a minus as \-).
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const Run help = run(m_prefix + QStringLiteral("/bin/") + program, {QStringLiteral("--help")}, env);
    QCOMPARE(help.code, 0);
    const QStringList options = longOptions(help.out);
    QVERIFY2(options.size() >= 3, qPrintable(help.out));
    QString roff = text.out;
    roff.replace(QLatin1String("\\-"), QLatin1String("-"));
    for (const QString &o : options)
        QVERIFY2(roff.contains(o), qPrintable(program + QStringLiteral(": ") + o));

    // The page formats without a warning, as lintian checks it.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("MANROFFSEQ"), QString());
    env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
    const Run man = run(QStringLiteral("man"), {"--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page}, env);
    QVERIFY2(man.code == 0 && man.err.isEmpty(), qPrintable(man.err));
}

void TestInstall::userUnit()
{
    const QString installed = m_prefix + QStringLiteral("/lib/systemd/user/qzmonitor.service");
    QString unit = QString::fromUtf8(readFile(installed));
    // Started by the session, restarted after a crash, with a rate limit.
    const QString execStart = QStringLiteral("ExecStart=" QZ_INSTALL_FULL_BINDIR "/qzmonitor --start\n");
    QVERIFY(unit.contains(execStart));
    for (const char *line : {"PartOf=graphical-session.target\n", "After=graphical-session.target\n",
                             "WantedBy=graphical-session.target\n", "Restart=on-failure\n", "StartLimitBurst=",
                             "StartLimitIntervalSec="})
        QVERIFY2(unit.contains(QLatin1String(line)), line);

    // systemd-analyze checks that ExecStart exists and that the manual page named in
    // Documentation= opens: point both at this install tree.
    QTemporaryDir dir;
    unit.replace(execStart, QStringLiteral("ExecStart=%1/bin/qzmonitor --start\n").arg(m_prefix));
    QFile copy(dir.filePath(QStringLiteral("qzmonitor.service")));
    QVERIFY(copy.open(QIODevice::WriteOnly));
    copy.write(unit.toUtf8());
    copy.close();
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("run"))));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("run")));
    env.insert(QStringLiteral("MANPATH"), m_prefix + QStringLiteral("/share/man"));
    const Run v = run(QStringLiteral("systemd-analyze"), {"--user", "verify", copy.fileName()}, env);
    // A misspelt setting is only a warning: the output must be empty too.
    QVERIFY2(v.code == 0 && v.out.trimmed().isEmpty() && v.err.trimmed().isEmpty(), qPrintable(v.out + v.err));
}

void TestInstall::systemUnit()
{
    const QString installed = m_prefix + QStringLiteral("/lib/systemd/system/qzstation.service");
    QString unit = QString::fromUtf8(readFile(installed));
    // The headless station from boot, as its own user with the serial devices, in its state
    // directory, restarted after a crash, sandboxed.
    const QString execStart = QStringLiteral("ExecStart=" QZ_INSTALL_FULL_BINDIR "/qzstation --home ${STATE_DIRECTORY}\n");
    QVERIFY(unit.contains(execStart));
    for (const char *line : {"User=qzmonitor\n", "Group=qzmonitor\n", "SupplementaryGroups=dialout\n",
                             "StateDirectory=qzmonitor\n", "Restart=on-failure\n", "WantedBy=multi-user.target\n",
                             "ProtectSystem=strict\n", "ProtectHome=yes\n", "NoNewPrivileges=yes\n", "PrivateTmp=yes\n",
                             "DevicePolicy=closed\n", "DeviceAllow=char-ttyUSB rw\n", "CapabilityBoundingSet=\n"})
        QVERIFY2(unit.contains(QLatin1String(line)), line);

    QTemporaryDir dir;
    unit.replace(execStart, QStringLiteral("ExecStart=%1/bin/qzstation --home ${STATE_DIRECTORY}\n").arg(m_prefix));
    QFile copy(dir.filePath(QStringLiteral("qzstation.service")));
    QVERIFY(copy.open(QIODevice::WriteOnly));
    copy.write(unit.toUtf8());
    copy.close();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MANPATH"), m_prefix + QStringLiteral("/share/man"));
    const Run v = run(QStringLiteral("systemd-analyze"), {"verify", copy.fileName()}, env);
    QVERIFY2(v.code == 0 && v.out.trimmed().isEmpty() && v.err.trimmed().isEmpty(), qPrintable(v.out + v.err));

    // What systemd itself makes of the sandbox: an exposure of 4.0 or less ("OK").
    const Run security = run(QStringLiteral("systemd-analyze"), {"security", "--offline=yes", "--no-pager", copy.fileName()}, env);
    static const QRegularExpression overall(QStringLiteral("Overall exposure level for qzstation.service: ([0-9.]+)"));
    const QRegularExpressionMatch m = overall.match(security.out);
    QVERIFY2(m.hasMatch(), qPrintable(security.out + security.err));
    const double exposure = m.captured(1).toDouble();
    qInfo("systemd-analyze security: exposure %.1f", exposure);
    QVERIFY2(exposure <= 4.0, qPrintable(security.out));
}

void TestInstall::debianDocumentation()
{
    const Run changelog = run(QStringLiteral("gzip"), {QStringLiteral("-dc"), m_prefix + QStringLiteral("/share/doc/qzmonitor/changelog.gz")});
    QCOMPARE(changelog.code, 0);
    // The newest entry is the version being built.
    QCOMPARE(changelog.out.section(u'\n', 0, 0), QStringLiteral("qzmonitor (" QZ_VERSION ") unstable; urgency=medium"));

    const QString copyright = QString::fromUtf8(readFile(m_prefix + QStringLiteral("/share/doc/qzmonitor/copyright")));
    QVERIFY(copyright.startsWith(QStringLiteral("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")));
    QVERIFY(copyright.contains(QStringLiteral("\nLicense: GPL-3+\n")));
    QVERIFY(copyright.contains(QStringLiteral("/usr/share/common-licenses/GPL-3")));
    // The licence text at the root of the sources is the one the copyright file points to.
    const QByteArray license = readFile(QStringLiteral(QZ_SOURCE_DIR "/LICENSE"));
    QVERIFY(license.startsWith("                    GNU GENERAL PUBLIC LICENSE\n                       Version 3, 29 June 2007\n"));
    QCOMPARE(license, readFile(QStringLiteral("/usr/share/common-licenses/GPL-3")));
}

void TestInstall::installedStationRunsAndUsesPerUserDirectory()
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.remove(QStringLiteral("XDG_DATA_HOME"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString monitor = m_prefix + QStringLiteral("/bin/qzmonitor");

    const Run version = run(monitor, {QStringLiteral("--version")}, env);
    QCOMPARE(version.code, 0);
    QCOMPARE(version.out, QStringLiteral("qzmonitor " QZ_VERSION "\n"));

    // A report of an installed station reads the per-user directory, not the bin directory:
    // that directory has no history yet, so the report fails and names where it looked.
    const Run report = run(monitor, {"--export-csv", home.filePath(QStringLiteral("out.csv")), "--from", "2026-01-01 00:00:00",
                                     "--to", "2026-01-02 00:00:00"}, env);
    QCOMPARE(report.code, 1);
    const QString perUser = home.path() + QStringLiteral("/.local/share/qzmonitor");
    QVERIFY2(report.err.contains(perUser + QStringLiteral("/wwdd.db")), qPrintable(report.err));
    QCOMPARE(QDir(m_prefix + QStringLiteral("/bin")).entryList(QDir::Files, QDir::Name),
             QStringList({"qzcollect", "qzmonitor", "qzpoll", "qzsim", "qzstation"}));
}

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
