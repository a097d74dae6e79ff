#include "AlmFrm.h"
#include "EventsCommand.h"
#include "HistoryCommand.h"
#include "MainF.h"
#include "WindowState.h"
#include "StationLock.h"
#include "StationOptions.h"
#include "Ui.h"
#include "WebUserCommand.h"
#include "WebView.h"

#include <QApplication>
#include <QFileInfo>
#include <QTextStream>
#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // The web view's accounts are managed without a window or a display.
    if (isWebUserCommandLine(arguments)) {
        QCoreApplication app(argc, argv);
        return runWebUserCommand(arguments, defaultProgramDirectory(QCoreApplication::applicationDirPath()), stdin,
                                 stdout, stderr);
    }

    // History reports from the command line (--export-csv, --report-pdf) and the event
    // journal's export (--export-events) open no window and need no display, so scheduled
    // jobs run them too.
    const bool eventsCommand = isEventsCommandLine(arguments);
    const bool historyCommand = !eventsCommand && isHistoryCommandLine(argc, argv);
    if ((historyCommand || eventsCommand) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Usage, version and a command line that cannot be understood need no display.
    const StationOptions options = historyCommand || eventsCommand ? StationOptions{} : parseStationOptions(arguments);
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "qzmonitor: %s\n%s", qPrintable(options.error), qPrintable(stationUsage()));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(stationUsage() + historyCommandUsage() + eventsCommandUsage() + webUserCommandUsage()),
                   stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qzmonitor %s\n", QZ_VERSION);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qzmonitor"));
    QApplication::setApplicationVersion(QStringLiteral(QZ_VERSION));

    if (eventsCommand) {
        const EventsCommand command = parseEventsCommand(QApplication::arguments());
        QTextStream err(stderr);
        QString home;
        if (command.error.isEmpty()) {
            // The export reads the station's directory as a reader; it never creates one.
            if (!command.home.isEmpty() && !QFileInfo(command.home).isDir()) {
                err << "qzmonitor: no program directory " << command.home << '\n';
                return 1;
            }
            home = command.home.isEmpty() ? defaultProgramDirectory(QApplication::applicationDirPath()) : command.home;
        }
        return runEventsCommand(command, home, err);
    }

    if (historyCommand) {
        const HistoryCommand command = parseHistoryCommand(QApplication::arguments());
        QTextStream err(stderr);
        if (command.error.isEmpty()) {
            // A report reads the station's directory; it never creates one.
            if (!command.home.isEmpty() && !QFileInfo(command.home).isDir()) {
                err << "qzmonitor: no program directory " << command.home << '\n';
                return 1;
            }
            const QString home = command.home.isEmpty()
                ? defaultProgramDirectory(QApplication::applicationDirPath())
                : command.home;
            if (const QString error = enterProgramDirectory(home); !error.isEmpty()) {
                err << "qzmonitor: " << error << '\n';
                return 1;
            }
            ui::installFontSubstitutions();
        }
        return runHistoryCommand(command, err);
    }

    const QString home = options.home.isEmpty() ? defaultProgramDirectory(QApplication::applicationDirPath())
                                                : options.home;
    if (const QString error = enterProgramDirectory(home); !error.isEmpty()) {
        std::fprintf(stderr, "qzmonitor: %s\n", qPrintable(error));
        return 1;
    }

    ui::installFontSubstitutions();

    // One station per program directory. The second one touches nothing there and says why;
    // an unattended start does not wait for OK.
    StationLock stationLock;
    if (QString why; !stationLock.acquire(programDirectory(), &why)) {
        std::fprintf(stderr, "qzmonitor: %s\n", qPrintable(why));
        if (!options.start)
            ui::showMessage(why);
        return 1;
    }

    // The core starts on its own thread (journal, port, history table, settings, the Data
    // directory with the month table); the window shows it.
    TMainFrm mainForm(nullptr, options.start);
    // The alarm dialog lives hidden for the whole run; its grid is built from the settings the
    // core has just loaded.
    AlmForm = new TAlmForm(&mainForm);
    // The web view runs beside the core when [web] is configured; declared after the window, it
    // ends before the window ends the core.
    const std::unique_ptr<WebView> web = WebView::start(mainForm.Core, programDirectory(), [](const QString &text) {
        std::fprintf(stderr, "qzmonitor: %s\n", qPrintable(text));
    });
    mainForm.showMaximized();
    const int rc = QApplication::exec();
    AlmForm = nullptr;
    return rc;
}
