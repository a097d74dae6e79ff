#include "HistoryCommand.h"

#include "HistoryExport.h"
#include "HistoryPrint.h"
#include "HistoryQuery.h"
#include "HistoryTable.h"
#include "SettingsFiles.h"
#include "PfFile.h"
#include "SharedState.h"
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
    struct Slot {
        QLatin1String option;
        QString *value;
        bool seen = false;
    };
    Slot slots_[] = {{CsvOption, &c.csvFile}, {PdfOption, &c.pdfFile}, {FromOption, &c.fromText},
                     {ToOption, &c.toText},   {HomeOption, &c.home}};
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        Slot *slot = nullptr;
        QString value;
        bool inlineValue = false;
        for (Slot &s : slots_) {
            if (a == s.option) {
                slot = &s;
            } else if (a.startsWith(s.option + QLatin1Char('='))) {
                slot = &s;
                value = a.mid(s.option.size() + 1);
                inlineValue = true;
            }
        }
        if (!slot) {
            c.error = a.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option: ") + a
                                                     : QStringLiteral("unexpected argument: ") + a;
            return c;
        }
        if (slot->seen) {
            c.error = QStringLiteral("%1 given twice").arg(slot->option);
            return c;
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size()) {
                c.error = QStringLiteral("%1 needs a value").arg(slot->option);
                return c;
            }
            value = arguments.at(++i);
        }
        if (value.isEmpty()) {
            c.error = QStringLiteral("%1 needs a value").arg(slot->option);
            return c;
        }
        slot->seen = true;
        *slot->value = value;
    }
    if (c.csvFile.isEmpty() && c.pdfFile.isEmpty())
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

QDateTime parseCommandDateTime(const QString &text)
{
    QString t = text.trimmed();
    if (t.size() == 19 && t.at(10) == QLatin1Char('T'))
        t[10] = QLatin1Char(' ');
    const QDateTime at = QDateTime::fromString(t, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return at.isValid() && at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) == t ? at : QDateTime();
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
    if (command.fromText.isEmpty() || command.toText.isEmpty())
        return fail(QStringLiteral("时间范围有误。bad range: --from and --to are both needed"));
    const QDateTime from = parseCommandDateTime(command.fromText);
    if (!from.isValid())
        return fail(QStringLiteral("时间范围有误。bad range: --from \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss")
                        .arg(command.fromText));
    const QDateTime to = parseCommandDateTime(command.toText);
    if (!to.isValid())
        return fail(QStringLiteral("时间范围有误。bad range: --to \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss")
                        .arg(command.toText));
    if (isInvertedRange(from, to))
        return fail(QStringLiteral("时间范围有误。bad range: --from %1 lies after --to %2").arg(command.fromText, command.toText));

    const QString dir = programDirectory();
    const QString tableFile = db::tableFilePath(dir, HistoryTableName);
    if (!QFileInfo(tableFile).isFile())
        return fail(QStringLiteral("历史数据表不存在。the history table %1 is missing (%2)").arg(HistoryTableName, tableFile));

    db::TQuery query;
    try {
        runHistoryQuery(query, dir, from, to);
    } catch (const ui::AppError &e) {
        return fail(e.text());
    }

    if (!command.csvFile.isEmpty()) {
        try {
            exportHistoryCsv(query, command.csvFile);
        } catch (const ui::AppError &e) {
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
        } catch (const ui::AppError &e) {
            return fail(e.text());
        }
    }
    return 0;
}
