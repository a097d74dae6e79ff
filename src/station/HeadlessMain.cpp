// qzstation: the monitoring station without a window (see HeadlessStation.h).
#include "HeadlessStation.h"
#include "StationLock.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The lock file names the program that holds the directory: a window started there names
    // the service.
    QCoreApplication::setApplicationName(HeadlessProgramName);
    QCoreApplication::setApplicationVersion(QStringLiteral(QZ_VERSION));

    const HeadlessOptions options = parseHeadlessOptions(QCoreApplication::arguments());
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "qzstation: %s\n%s", qPrintable(options.error), qPrintable(headlessUsage()));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(headlessUsage()), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qzstation %s\n", QZ_VERSION);
        return 0;
    }
    return runHeadlessStation(options);
}
