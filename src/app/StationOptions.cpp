#include "StationOptions.h"

#include "SharedState.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

StationOptions parseStationOptions(const QStringList &arguments)
{
    StationOptions o;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--home")) {
            if (i + 1 >= arguments.size()) {
                o.error = QStringLiteral("--home needs a directory");
                return o;
            }
            o.home = arguments[++i];
        } else if (a.startsWith(QLatin1String("--home="))) {
            o.home = a.mid(7);
        } else if (a == QLatin1String("--start")) {
            o.start = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            o.help = true;
        } else if (a == QLatin1String("--version")) {
            o.version = true;
        } else if (a.startsWith(QLatin1Char('-'))) {
            o.error = QStringLiteral("unknown option: ") + a;
            return o;
        } else {
            o.error = QStringLiteral("unexpected argument: ") + a;
            return o;
        }
    }
    return o;
}

QString stationUsage()
{
    return QStringLiteral(
        "Usage: qzmonitor [--home DIR] [--start]\n"
        "  --home DIR   program directory (KTcom.ini, *.Pf, wwdd, Data/); also the working directory.\n"
        "               Default: the executable's directory in a build tree when writable; for an\n"
        "               installed program the per-user data directory (~/.local/share/qzmonitor).\n"
        "  --start      begin polling and storing at start-up, as if \"开始运行\" had been chosen; for\n"
        "               stations that start by themselves: start-up problems are shown without waiting\n"
        "               for OK and written to standard error, and a serial port that is not there yet\n"
        "               is opened as soon as it appears\n"
        "  --help       show this text\n"
        "  --version    show the version\n");
}

bool isInstalledProgramDirectory(const QString &executableDir, const QString &installBinDir)
{
    // Compared as canonical paths: /bin is a link to /usr/bin on Debian.
    auto canonical = [](const QString &dir) {
        const QString c = QFileInfo(dir).canonicalFilePath();
        return c.isEmpty() ? QDir::cleanPath(QDir(dir).absolutePath()) : c;
    };
    const QString dir = canonical(executableDir);
    if (dir.isEmpty())
        return false;
    QStringList binDirs{QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin"), QStringLiteral("/bin"),
                        QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"), QStringLiteral("/sbin"),
                        QStringLiteral("/usr/games"), QStringLiteral("/usr/local/games")};
    if (!installBinDir.isEmpty())
        binDirs.prepend(installBinDir);
    for (const QString &bin : std::as_const(binDirs))
        if (canonical(bin) == dir)
            return true;
    return QFileInfo(dir).fileName() == QLatin1String("bin")
        && QFileInfo::exists(dir + QStringLiteral("/../share/applications/qzmonitor.desktop"));
}

QString defaultProgramDirectory(const QString &executableDir, const QString &installBinDir)
{
    const QFileInfo info(executableDir);
    if (!isInstalledProgramDirectory(executableDir, installBinDir) && info.isDir() && info.isWritable())
        return info.absoluteFilePath();
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString defaultProgramDirectory(const QString &executableDir)
{
    return defaultProgramDirectory(executableDir, QStringLiteral(QZ_INSTALL_BINDIR));
}

QString enterProgramDirectory(const QString &dir)
{
    if (dir.isEmpty())
        return QStringLiteral("没有程序目录。no program directory");
    if (!QDir().mkpath(dir))
        return QStringLiteral("无法建立程序目录 %1。cannot create the program directory").arg(dir);
    const QString absolute = QFileInfo(dir).absoluteFilePath();
    if (!QDir::setCurrent(absolute))
        return QStringLiteral("无法进入程序目录 %1。cannot enter the program directory").arg(absolute);
    setProgramDirectory(absolute);
    return {};
}
