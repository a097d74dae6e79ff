#pragma once
// Date-time values are stored as ISO-8601 local time with milliseconds,
// "yyyy-MM-ddTHH:mm:ss.zzz", so that text order is time order and a range condition on the
// text is a range condition on the time.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

namespace db {

// The stored text of a date-time (in local time); empty for an invalid date-time.
QString dateTimeToText(const QDateTime &value);

// Reads "yyyy-MM-ddTHH:mm:ss.zzz"; also accepts a blank instead of the 'T' and a missing
// ".zzz". False when the text is anything else or names no valid date and time.
bool parseDateTimeText(const char *text, qsizetype length, QDate *date, QTime *time);

// The local date-time of a stored text; invalid when the text does not parse.
QDateTime dateTimeFromText(const QString &text);

// Turns local wall-clock dates and times into milliseconds since the epoch. Rows of a query
// come in time order, so the offset of the last hour is kept: a row in the same hour costs
// additions instead of a time-zone lookup. An hour that holds a time-zone change is always
// looked up in full.
class LocalMsecs {
public:
    qint64 toMsecs(const QDate &date, const QTime &time);

private:
    qint64 m_hourKey = -1;     // julian day * 24 + hour of the kept hour
    qint64 m_hourStart = 0;    // milliseconds since the epoch at its start
    bool m_hourUniform = false; // the whole hour maps linearly
};

} // namespace db
