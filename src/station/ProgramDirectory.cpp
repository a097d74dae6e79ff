#include "ProgramDirectory.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

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
    // The same directory for the window and the headless station, whatever the program is called.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)).filePath(QStringLiteral("qzmonitor"));
}

QString defaultProgramDirectory(const QString &executableDir)
{
    return defaultProgramDirectory(executableDir, QStringLiteral(QZ_INSTALL_BINDIR));
}

QString enterDirectory(const QString &dir, QString *absolute)
{
    if (dir.isEmpty())
        return QStringLiteral("没有程序目录。no program directory");
    if (!QDir().mkpath(dir))
        return QStringLiteral("无法建立程序目录 %1。cannot create the program directory").arg(dir);
    const QString path = QFileInfo(dir).absoluteFilePath();
    if (!QDir::setCurrent(path))
        return QStringLiteral("无法进入程序目录 %1。cannot enter the program directory").arg(path);
    if (absolute)
        *absolute = path;
    return {};
}

bool takeCommonOption(const QStringList &arguments, int *i, CommonOptions &o)
{
    const QString &a = arguments.at(*i);
    if (a == QLatin1String("--home") || a.startsWith(QLatin1String("--home="))) {
        const bool separate = a == QLatin1String("--home");
        if (separate && *i + 1 < arguments.size())
            o.home = arguments.at(++*i);
        else
            o.home = separate ? QString() : a.mid(7);
        if (o.home.isEmpty())
            o.error = QStringLiteral("--home needs a directory");
    } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
        o.help = true;
    } else if (a == QLatin1String("--version")) {
        o.version = true;
    } else {
        return false;
    }
    return true;
}

QString unexpectedArgument(const QString &argument)
{
    return argument.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option: ") + argument
                                                 : QStringLiteral("unexpected argument: ") + argument;
}
