#pragma once
// The history window's rules without widgets: the time-span choices, combining the pickers
// into a range, the range query on wwdd, and the curve of one channel out of its result.
//
// Range ends. Records are stamped with milliseconds, the pickers show whole seconds. The end
// of a range covers its whole second: "to 12:00:00" takes a record stamped 12:00:00.400, as
// an operator reading the picker expects, and a start equal to the end returns the records
// stamped within that one second. The start is the picker's instant itself (12:00:00.000).

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QVector>

#include "ReportRules.h"

namespace db {
class TQuery;
}

// One entry of the time-span list: its text and the span it sets, in seconds (the unit of the
// chart's time axis). The empty entry has no span and leaves the current one unchanged.
struct SpanChoice {
    QString text;
    double seconds = 0.0; // 0 for the empty entry
};

const QList<SpanChoice> &SpanChoices();
// The window opens on "1小时", with the span of that entry.
constexpr int InitialSpanIndex = 6;
// The span for an entry of SpanChoices; the empty entry and indexes outside the list keep
// `current`.
double spanForChoice(int index, double current);

// Date part of `date` + time-of-day part of `time`, in local time. False (and *out left alone)
// when either part is invalid or the two make no valid local date-time.
bool combinePickers(const QDate &date, const QTime &time, QDateTime *out);



// The query's text: "select *  from wwdd" / "where datim>=:Pdt1 and datim<=:Pdt2".
QStringList historyQueryText();

// Closes the query, gives it the directory, text and parameters of the range [start, end]
// (the end taken as inclusiveEnd) and opens it. Failures throw db::DbError; the query is
// then closed.
void runHistoryQuery(db::TQuery &query, const QString &dir, const QDateTime &start, const QDateTime &end);

// The time stamp field of the history table in a query's result (by name, else field 0).
int timeFieldOf(const db::TQuery &query);

// The curve of one field of an open query, in row order: keys are the time stamps as chart
// keys (seconds since the epoch), values the field's text as a number. The interruption marker
// (-1000.000) gives NaN, a gap; any other text that is not a number (empty or NULL too)
// gives 0. Rows without a readable time stamp have no place on a time axis and are left out.
// An unknown field name gives 0 for every row.
struct Curve {
    QVector<double> keys;
    QVector<double> values;
};
Curve curveOfField(const db::TQuery &query, const QString &fieldName);

// A line of the channel list: the channel's name followed by " ->".
QString channelLine(const QString &name);
