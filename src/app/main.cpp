#include "AlmFrm.h"
#include "DataModuleFrm.h"
#include "MainF.h"
#include "StationOptions.h"
#include "Ui.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qzmonitor"));
    QApplication::setApplicationVersion(QStringLiteral(QZ_VERSION));

    const StationOptions options = parseStationOptions(QApplication::arguments());
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "qzmonitor: %s\n%s", qPrintable(options.error), qPrintable(stationUsage()));
        return 2;
    }
    if (options.help) {
        std::fputs(qPrintable(stationUsage()), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("qzmonitor %s\n", QZ_VERSION);
        return 0;
    }

    const QString home = options.home.isEmpty() ? defaultProgramDirectory(QApplication::applicationDirPath())
                                                : options.home;
    if (const QString error = enterProgramDirectory(home); !error.isEmpty()) {
        std::fprintf(stderr, "qzmonitor: %s\n", qPrintable(error));
        return 1;
    }

    ui::installFontSubstitutions();

    TMainFrm mainForm;
    TDataModule1 dataModule;
    // The alarm dialog lives hidden for the whole run; its grid is built from the settings the
    // main window has just loaded.
    AlmForm = new TAlmForm(&mainForm);
    mainForm.showMaximized();
    if (options.start)
        mainForm.N2Click();
    const int rc = QApplication::exec();
    AlmForm = nullptr;
    return rc;
}
