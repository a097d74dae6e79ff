#include "EventsCommand.h"

#include "EventJournal.h"
#include "EventsExport.h"
#include "AppError.h"
#include "ReportRules.h"

#include <QFileInfo>
#include <QTextStream>

namespace {

const QLatin1String ExportOption("--export-events");
const QLatin1String FromOption("--from");
const QLatin1String ToOption("--to");
const QLatin1String HomeOption("--home");

} // namespace

bool isEventsCommandLine(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == ExportOption || a.startsWith(ExportOption + QLatin1Char('=')))
            return true;
    }
    return false;
}

EventsCommand parseEventsCommand(const QStringList &arguments)
{
    EventsCommand c;
    c.error = parseCommandOptions(arguments, {{ExportOption, &c.file}, {FromOption, &c.fromText}, {ToOption, &c.toText},
                                              {HomeOption, &c.home}});
    if (c.error.isEmpty() && c.file.isEmpty())
        c.error = QStringLiteral("--export-events FILE is needed");
    return c;
}

QString eventsCommandUsage()
{
    return QStringLiteral(
        "The alarm and event journal without a window (both ends of the range included):\n"
        "  qzmonitor [--home DIR] --export-events FILE --from \"yyyy-MM-dd HH:mm:ss\" --to \"yyyy-MM-dd HH:mm:ss\"\n"
        "  Writes CSV (UTF-8 with byte-order mark); runs while the station runs. Exit status 0 on success,\n"
        "  1 for a bad range, a missing or unreadable journal or a file that cannot be written, 2 for a bad command line.\n");
}

int runEventsCommand(const EventsCommand &command, const QString &programDir, QTextStream &err)
{
    const auto fail = [&err](const QString &text) {
        err << "qzmonitor: " << text << '\n';
        err.flush();
        return 1;
    };
    if (!command.error.isEmpty()) {
        err << "qzmonitor: " << command.error << '\n' << eventsCommandUsage();
        err.flush();
        return 2;
    }
    QDateTime from, to;
    if (const QString bad = parseCommandRange(command.fromText, command.toText, &from, &to); !bad.isEmpty())
        return fail(bad);

    const QString path = eventJournalPath(programDir);
    if (!QFileInfo(path).isFile())
        return fail(QStringLiteral("事件记录文件不存在。the event journal is missing (%1)").arg(path));
    EventJournal journal(path);
    try {
        journal.openForReading();
        exportEventsCsv(journal, from, to, command.file);
    } catch (const AppError &e) {
        return fail(e.text());
    }
    return 0;
}
