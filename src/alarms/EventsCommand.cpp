#include "EventsCommand.h"

#include "EventJournal.h"
#include "EventsExport.h"
#include "HistoryCommand.h"
#include "HistoryQuery.h"
#include "Ui.h"

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
    struct Slot {
        QLatin1String option;
        QString *value;
        bool seen = false;
    };
    Slot slots_[] = {{ExportOption, &c.file}, {FromOption, &c.fromText}, {ToOption, &c.toText}, {HomeOption, &c.home}};
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
    if (c.file.isEmpty())
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
    if (command.fromText.isEmpty() || command.toText.isEmpty())
        return fail(QStringLiteral("bad range: --from and --to are both needed"));
    const QDateTime from = parseCommandDateTime(command.fromText);
    if (!from.isValid())
        return fail(QStringLiteral("bad range: --from \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss")
                        .arg(command.fromText));
    const QDateTime to = parseCommandDateTime(command.toText);
    if (!to.isValid())
        return fail(QStringLiteral("bad range: --to \"%1\" is not a date and time yyyy-MM-dd HH:mm:ss")
                        .arg(command.toText));
    if (isInvertedRange(from, to))
        return fail(QStringLiteral("bad range: --from %1 lies after --to %2").arg(command.fromText, command.toText));

    const QString path = eventJournalPath(programDir);
    if (!QFileInfo(path).isFile())
        return fail(QStringLiteral("the event journal is missing (%1)").arg(path));
    EventJournal journal(path);
    try {
        journal.openForReading();
        exportEventsCsv(journal, from, to, command.file);
    } catch (const ui::AppError &e) {
        return fail(e.text());
    }
    return 0;
}
