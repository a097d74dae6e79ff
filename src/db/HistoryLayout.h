#pragma once
// The layout of the history table wwdd, written once for everyone who reads or writes it: the
// station core that stores, the history window and reports that query, the site publisher and
// the web view that read the file directly.
//
// In this order (the history window relies on it): `datim` (date-time, local time with
// milliseconds, 'yyyy-MM-ddTHH:mm:ss.zzz' on disk) and `aa1` … `aa32` (text, the value of
// channel k as "%8.3F"), with an index on `datim` so that range queries stay fast at millions
// of rows.

#include <QString>

inline const QString HistoryTableName = QStringLiteral("wwdd");
inline const QString HistoryTimeField = QStringLiteral("datim");
// Declared size of the channel fields: "%8.3F" of -1000.0 takes 9 characters, of -99999.0
// ten; the engine stores longer texts whole in any case.
constexpr int HistoryTextSize = 16;

// Field name of channel k: "aa" + k in decimal without leading zeros.
QString historyFieldName(int channel);

// The file that holds wwdd in a program directory: <dir>/wwdd.db.
QString historyTablePath(const QString &programDir);
