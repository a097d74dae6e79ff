#pragma once
// The history table wwdd in the program directory: its layout, and the two things the main
// window does to it besides opening and closing: store one record per storage tick, and
// empty it on the operator's request.
//
// Layout, in this order (the history window relies on it): `datim` (date-time, local time
// with milliseconds) and `aa1` … `aa32` (text, the value of channel k as "%8.3F"), with an
// index on `datim` so that range queries stay fast at millions of rows.

#include <QDateTime>
#include <QString>

namespace db {
class TTable;
}

inline const QString HistoryTableName = QStringLiteral("wwdd");
inline const QString HistoryTimeField = QStringLiteral("datim");
// Declared size of the channel fields: "%8.3F" of -1000.0 takes 9 characters, of -99999.0
// ten; the engine stores longer texts whole in any case.
constexpr int HistoryTextSize = 16;

// Field name of channel k: "aa" + k in decimal without leading zeros.
QString historyFieldName(int channel);

// A channel value as stored: three decimals, right-aligned in at least 8 characters
// ("  25.300", "   0.000", "-1000.000").
QString historyValueText(float pv);

// Sets the field and index definitions of the wwdd layout on `table`.
void defineHistoryTable(db::TTable &table);

// Creates wwdd with its layout in `dir` when the file is missing; an existing table is left
// as it is. True when it was created.
bool ensureHistoryTable(const QString &dir);

// One record of the storage tick: opens wwdd if it is closed, appends `datim` = now and
// aa1 … aaN = Pv[k] as text for N = ChannelCount (the other channel fields stay NULL), posts.
// A failure throws DbError and leaves no half-filled record behind.
void StoreHistoryRecord(db::TTable &wwdd, const QDateTime &now);

// The table side of "清空数据": close, delete every record keeping the structure, open again.
void EmptyHistory(db::TTable &wwdd);
