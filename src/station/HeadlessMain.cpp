// qzstation: the monitoring station without a window (see HeadlessStation.h), with the web view
// beside its core when [web] is configured.
#include "HeadlessStation.h"
#include "ProgramDirectory.h"
#include "StationLock.h"
#include "WebUserCommand.h"
#include "WebView.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The lock file names the program that holds the directory: a window started there names
    // the service.
    QCoreApplication::setApplicationName(HeadlessProgramName);
    QCoreApplication::setApplicationVersion(QStringLiteral(QZ_VERSION));

    const QStringList arguments = QCoreApplication::arguments();
    if (isWebUserCommandLine(arguments))
        return runWebUserCommand(arguments, defaultProgramDirectory(QCoreApplication::applicationDirPath()), stdin,
                                 stdout, stderr);

    const HeadlessOptions options = parseHeadlessOptions(arguments);
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "qzstation: %s\n%s", qPrintable(options.error), qPrintable(headlessUsage()));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(headlessUsage() + webUserCommandUsage()), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qzstation %s\n", QZ_VERSION);
        return 0;
    }
    return runHeadlessStation(options, [](StationThread &core, const QString &programDir) -> std::unique_ptr<QObject> {
        return WebView::start(core, programDir, [](const QString &text) {
            std::fprintf(stderr, "qzstation: %s\n", qPrintable(text));
            std::fflush(stderr);
        });
    });
}
