#pragma once
// The event journal as CSV, the way the history export writes: UTF-8 with a byte-order mark,
// CR LF line ends, fields quoted only where they need it (csvField). One line per row, oldest
// first, with the columns of the journal grid:
//   时间,来源,通道,名称,类型,数值,变化,用户,说明
// Time "yyyy-MM-dd HH:mm:ss.zzz" (local time, as stored), value with three decimals, empty
// channel and value for the station.

#include <QDateTime>
#include <QString>
#include <QStringList>

class EventJournal;
class QIODevice;
struct JournalEvent;

// The column titles of the journal grid and the CSV file.
const QStringList &journalColumnTitles();
// A row's texts in those columns.
QStringList journalRowTexts(const JournalEvent &event);

QString eventsCsvHeader();
QString eventsCsvLine(const JournalEvent &event);

// Writes the rows stamped within [from, to] (the end through its whole second). The file is
// written whole or not at all; returns the number of rows. Throws AppError naming the
// file and the reason.
qint64 exportEventsCsv(const EventJournal &journal, const QDateTime &from, const QDateTime &to,
                       const QString &fileName);
