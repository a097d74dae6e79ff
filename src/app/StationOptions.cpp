#include "StationOptions.h"

#include "ProgramDirectory.h"
#include "WindowState.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

StationOptions parseStationOptions(const QStringList &arguments)
{
    StationOptions o;
    for (int i = 1; i < arguments.size() && o.error.isEmpty(); ++i) {
        if (takeCommonOption(arguments, &i, o))
            continue;
        if (arguments[i] == QLatin1String("--start"))
            o.start = true;
        else
            o.error = unexpectedArgument(arguments[i]);
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

QString enterProgramDirectory(const QString &dir)
{
    QString absolute;
    if (const QString error = enterDirectory(dir, &absolute); !error.isEmpty())
        return error;
    setProgramDirectory(absolute);
    return {};
}
