#include "HistoryCommand.h"

#include "HistoryExport.h"
#include "HistoryPrint.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "SettingsFiles.h"
#include "PfFile.h"
#include "WindowState.h"
#include "TQuery.h"
#include "TTable.h"
#include "Ui.h"

#include <QFileInfo>
#include <QPrinter>
#include <QTextStream>

namespace {

const QLatin1String CsvOption("--export-csv");
const QLatin1String PdfOption("--report-pdf");
const QLatin1String FromOption("--from");
const QLatin1String ToOption("--to");
const QLatin1String HomeOption("--home");

} // namespace

bool isHistoryCommandLine(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == CsvOption || a == PdfOption || a.startsWith(CsvOption + QLatin1Char('='))
            || a.startsWith(PdfOption + QLatin1Char('=')))
            return true;
    }
    return false;
}

bool isHistoryCommandLine(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return isHistoryCommandLine(arguments);
}



HistoryCommand parseHistoryCommand(const QStringList &arguments)
{
    HistoryCommand c;
    c.error = parseCommandOptions(arguments, {{CsvOption, &c.csvFile}, {PdfOption, &c.pdfFile}, {FromOption, &c.fromText},
                                              {ToOption, &c.toText}, {HomeOption, &c.home}});
    if (c.error.isEmpty() && c.csvFile.isEmpty() && c.pdfFile.isEmpty())
        c.error = QStringLiteral("--export-csv FILE or --report-pdf FILE is needed");
    return c;
}

QString historyCommandUsage()
{
    return QStringLiteral(
        "Reports without a window (the range takes both ends; the end through its whole second):\n"
        "  qzmonitor [--home DIR] --export-csv FILE --from \"yyyy-MM-dd HH:mm:ss\" --to \"yyyy-MM-dd HH:mm:ss\"\n"
        "  qzmonitor [--home DIR] --report-pdf FILE --from \"yyyy-MM-dd HH:mm:ss\" --to \"yyyy-MM-dd HH:mm:ss\"\n"
        "  Both outputs may be written in one run. Exit status 0 on success, 1 for a bad range,\n"
        "  a missing or unreadable history table or a file that cannot be written, 2 for a bad command line.\n");
}


int runHistoryCommand(const HistoryCommand &command, QTextStream &err)
{
    const auto fail = [&err](const QString &text) {
        err << "qzmonitor: " << text << '\n';
        err.flush();
        return 1;
    };
    if (!command.error.isEmpty()) {
        err << "qzmonitor: " << command.error << '\n' << historyCommandUsage();
        err.flush();
        return 2;
    }
    QDateTime from, to;
    if (const QString bad = parseCommandRange(command.fromText, command.toText, &from, &to); !bad.isEmpty())
        return fail(bad);

    const QString dir = programDirectory();
    const QString tableFile = db::tableFilePath(dir, HistoryTableName);
    if (!QFileInfo(tableFile).isFile())
        return fail(QStringLiteral("历史数据表不存在。the history table %1 is missing (%2)").arg(HistoryTableName, tableFile));

    db::TQuery query;
    try {
        runHistoryQuery(query, dir, from, to);
    } catch (const AppError &e) {
        return fail(e.text());
    }

    if (!command.csvFile.isEmpty()) {
        try {
            exportHistoryCsv(query, command.csvFile);
        } catch (const AppError &e) {
            return fail(e.text());
        }
    }
    if (!command.pdfFile.isEmpty()) {
        // The channel count of the station's settings; read only, nothing is created here.
        int channels = DefaultChannelCount;
        if (pfFileExists(SysParaFileName) && ui::guarded([] { LoadSysParams(); }))
            channels = SysParams.ChannelCount;
        QPrinter printer(QPrinter::HighResolution);
        printer.setResolution(600);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setOutputFileName(command.pdfFile);
        printer.setDocName(QStringLiteral("wwdd %1 - %2").arg(command.fromText, command.toText));
        try {
            printHistoryTable(printer, query, channels, QDateTime::currentDateTime());
        } catch (const AppError &e) {
            return fail(e.text());
        }
    }
    return 0;
}
