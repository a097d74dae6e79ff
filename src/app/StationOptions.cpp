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
        "               Default: the executable's directory when writable, else the per-user data directory.\n"
        "  --start      begin polling and storing at start-up, as if \"开始运行\" had been chosen\n"
        "  --help       show this text\n"
        "  --version    show the version\n");
}

QString defaultProgramDirectory(const QString &executableDir)
{
    const QFileInfo info(executableDir);
    if (info.isDir() && info.isWritable())
        return info.absoluteFilePath();
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString enterProgramDirectory(const QString &dir)
{
    if (dir.isEmpty())
        return QStringLiteral("no program directory");
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot create the program directory %1").arg(dir);
    const QString absolute = QFileInfo(dir).absoluteFilePath();
    if (!QDir::setCurrent(absolute))
        return QStringLiteral("cannot enter the program directory %1").arg(absolute);
    setProgramDirectory(absolute);
    return {};
}
