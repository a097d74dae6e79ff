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

QString parseCommandOptions(const QStringList &arguments, const QList<CommandOption> &options)
{
    QList<bool> seen(options.size(), false);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        qsizetype found = -1;
        QString value;
        bool inlineValue = false;
        for (qsizetype k = 0; k < options.size(); ++k) {
            const QLatin1String name = options.at(k).name;
            if (a == name) {
                found = k;
            } else if (a.startsWith(name + QLatin1Char('='))) {
                found = k;
                value = a.mid(name.size() + 1);
                inlineValue = true;
            }
        }
        if (found < 0)
            return a.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option: ") + a
                                                  : QStringLiteral("unexpected argument: ") + a;
        const QLatin1String name = options.at(found).name;
        if (seen.at(found))
            return QStringLiteral("%1 given twice").arg(name);
        if (!inlineValue) {
            if (i + 1 >= arguments.size())
                return QStringLiteral("%1 needs a value").arg(name);
            value = arguments.at(++i);
        }
        if (value.isEmpty())
            return QStringLiteral("%1 needs a value").arg(name);
        seen[found] = true;
        *options.at(found).value = value;
    }
    return QString();
}

QString parseCommandRange(const QString &fromText, const QString &toText, QDateTime *from, QDateTime *to)
{
    const QString bad = QStringLiteral("时间范围有误。bad range: ");
    if (fromText.isEmpty() || toText.isEmpty())
        return bad + QStringLiteral("--from and --to are both needed");
    *from = parseCommandDateTime(fromText);
    if (!from->isValid())
        return bad + QStringLiteral("--from \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss").arg(fromText);
    *to = parseCommandDateTime(toText);
    if (!to->isValid())
        return bad + QStringLiteral("--to \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss").arg(toText);
    if (isInvertedRange(*from, *to))
        return bad + QStringLiteral("--from %1 lies after --to %2").arg(fromText, toText);
    return QString();
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
