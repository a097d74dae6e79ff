// qzstation_probe: the station as qzmonitor runs it (main window with its core, alarm dialog,
// the same --home and --start), for the fault loops. Instead of showing message boxes it
// prints them, one line each on standard output, and answers OK, so a loop can count the
// messages a fault brings and read their text:
//   <epoch seconds.ms> message <text>     a plain message box
//   <epoch seconds.ms> error <text>       the standard error message box
//   <epoch seconds.ms> answer <bytes>     with --log-answers: every answer the master accepts
//   <epoch seconds.ms> stored <records>   with --log-stores: after each storage tick that
//                                         added a record (the table's record count)
//   <epoch seconds.ms> ready records <n>  once the station runs, with the table's records
// Usage: qzstation_probe --home DIR [--start] [--log-answers] [--log-stores]

#include "AlmFrm.h"
#include "MainF.h"
#include "ModbusM.h"
#include "WindowState.h"
#include "StationOptions.h"
#include "TTable.h"
#include "Ui.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <cstdio>

namespace {

void say(const QString &what, const QString &text = QString())
{
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QString line = what;
    if (!text.isEmpty())
        line += u' ' + QString(text).replace(u'\n', QStringLiteral("\\n"));
    std::printf("%.3f %s\n", now, line.toUtf8().constData());
    std::fflush(stdout);
}

class LoggingPrompter : public ui::Prompter {
public:
    ui::Reply message(const ui::MessageRequest &request) override
    {
        say(QStringLiteral("message"), request.text);
        return ui::Reply::Ok;
    }
    int execModal(QDialog *dialog) override
    {
        say(QStringLiteral("modal"), dialog->windowTitle());
        return QDialog::Rejected;
    }
    void standardError(const QString &text) override { say(QStringLiteral("error"), text); }
    void notice(const ui::MessageRequest &r) override { say(QStringLiteral("notice"), r.text); }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments();
    const bool logAnswers = args.removeAll(QStringLiteral("--log-answers")) > 0;
    const bool logStores = args.removeAll(QStringLiteral("--log-stores")) > 0;
    const StationOptions options = parseStationOptions(args);
    if (!options.error.isEmpty() || options.home.isEmpty()) {
        std::fprintf(stderr, "usage: qzstation_probe --home DIR [--start] [--log-answers] [--log-stores]\n");
        return 2;
    }
    if (const QString error = enterProgramDirectory(options.home); !error.isEmpty()) {
        std::fprintf(stderr, "qzstation_probe: %s\n", qPrintable(error));
        return 1;
    }
    LoggingPrompter prompter;
    ui::setPrompter(&prompter);
    ui::installFontSubstitutions();

    // The window and its core on the core's own thread, as qzmonitor runs them; the probe's
    // hooks are put into the core on its thread and run there.
    TMainFrm mainForm;
    AlmForm = new TAlmForm(&mainForm);
    std::shared_ptr<qint64> lastCount = std::make_shared<qint64>(-1);
    mainForm.Core.call([logAnswers, logStores, lastCount](Station &station) {
        if (logAnswers) {
            const TModbusM::TNotifyEvent decode = station.comm1->OnResponseReady;
            station.comm1->OnResponseReady = [decode](TModbusM *sender) {
                decode(sender);
                say(QStringLiteral("answer"), QString::number(sender->ResponseData.size()));
            };
        }
        try {
            if (station.HistoryTable->active())
                *lastCount = station.HistoryTable->recordCount();
        } catch (const AppError &) {
        }
        if (logStores) {
            // Connected after the station's own handler, so it runs once the record is posted.
            QObject::connect(&station.Receive, &QTimer::timeout, &station, [&station, lastCount] {
                try {
                    const qint64 n = station.HistoryTable->active() ? station.HistoryTable->recordCount() : -1;
                    if (n > *lastCount)
                        say(QStringLiteral("stored"), QString::number(n));
                    *lastCount = qMax(*lastCount, n);
                } catch (const AppError &) {
                    // Counting failed as the store did; the station has reported it.
                }
            });
        }
        return 0;
    });
    mainForm.show();
    if (options.start)
        mainForm.N2Click();
    say(QStringLiteral("ready"), QStringLiteral("records %1").arg(*lastCount));
    const int rc = QApplication::exec();
    AlmForm = nullptr;
    ui::setPrompter(nullptr);
    return rc;
}
