#pragma once
// The queried records as CSV: UTF-8 with a byte-order mark (so spreadsheet programs read the
// Chinese title correctly), lines ended by CR LF, fields quoted only where they hold a comma,
// a quote or a line break. The header is "时间" followed by the channel field names
// ("时间,aa1,aa2,…"), one column per field of the query. The time stamp is written
// "yyyy-MM-dd HH:mm:ss.zzz" (local time, what spreadsheets read as a date-time); channel
// texts are written without the blanks that pad them, empty for a channel not stored.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <limits>

#include "ReportRules.h"

class QIODevice;

namespace db {
class TQuery;
}

inline const QString CsvTimeTitle = QStringLiteral("时间");

// The header line and one record line, without the line end.
QString csvHeader(const db::TQuery &query);
QString csvRecord(const db::TQuery &query, int row);

// The same lines for writers that read the rows themselves, one at a time (the web view streams
// them): the header of fields `names` with `timeField` titled "时间", the byte-order mark, a
// stored text as its field, and a time stamp.
QString csvHeaderOf(const QStringList &names, int timeField);
const QByteArray &csvByteOrderMark();
void appendCsvText(QByteArrayView stored, QByteArray &out);

// "yyyy-MM-dd HH:mm:ss.zzz" in local time for milliseconds since the epoch, appended to out.
// Meant for rows in time order: the zone's offset is kept until its next transition.
class CsvStampText {
public:
    void append(qint64 ms, QByteArray &out);

private:
    static constexpr qint64 MsPerDay = 86400000;
    static constexpr qint64 UnixEpochJulianDay = 2440588;
    void lookUp(qint64 ms);

    qint64 m_from = 1;
    qint64 m_to = 0;
    qint64 m_offsetMs = 0;
    qint64 m_day = std::numeric_limits<qint64>::min();
    QByteArray m_dateText;
};

// Writes the byte-order mark, the header and every row. False when the device fails.
bool writeHistoryCsv(const db::TQuery &query, QIODevice &out);

// Writes the file whole or not at all (an existing file is replaced only on success).
// Throws AppError naming the file and the reason.
void exportHistoryCsv(const db::TQuery &query, const QString &fileName);
