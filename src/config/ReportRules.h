#pragma once
// Rules the station's reports share, whatever they report (history records, the event journal)
// and whoever runs them (the windows, the command line, the web view): CSV fields, the range of
// a query, and the report commands' options.

#include <QDateTime>
#include <QLatin1String>
#include <QList>
#include <QString>
#include <QStringList>

// One CSV field, quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text);

// True when the start lies after the end (the range selects nothing and is refused).
bool isInvertedRange(const QDateTime &start, const QDateTime &end);

// The last instant a range takes: the end's second through its 999th millisecond.
QDateTime inclusiveEnd(const QDateTime &end);

// "yyyy-MM-dd HH:mm:ss" (a 'T' in place of the blank is accepted) as local time; invalid for
// anything else.
QDateTime parseCommandDateTime(const QString &text);

struct CommandOption {
    QLatin1String name; // "--from"
    QString *value;
};
// Reads "--name VALUE" and "--name=VALUE" pairs from the arguments (the first is the program)
// into the options' values. The error text for an unknown option, a stray argument, a missing
// value or an option given twice; empty when all was understood.
QString parseCommandOptions(const QStringList &arguments, const QList<CommandOption> &options);

// The range of --from and --to: both given, both dates and times, not inverted. Returns the
// error text (a Chinese sentence, then the detail), or an empty string with *from and *to set.
QString parseCommandRange(const QString &fromText, const QString &toText, QDateTime *from, QDateTime *to);
