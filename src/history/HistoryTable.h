#pragma once
// The history table wwdd in the program directory (layout in HistoryLayout.h): its definition,
// and the two things the station does to it besides opening and closing: store one record per
// storage tick, and empty it on the operator's request.

#include "HistoryLayout.h"
#include "SharedState.h"

#include <QDateTime>
#include <QString>

namespace db {
class TTable;
}

// A channel value as stored: three decimals, right-aligned in at least 8 characters
// ("  25.300", "   0.000", "-1000.000").
QString historyValueText(float pv);

// Sets the field and index definitions of the wwdd layout on `table`.
void defineHistoryTable(db::TTable &table);

// Creates wwdd with its layout in `dir` when the file is missing or empty (0 bytes); any other
// file is left as it is. True when it was created.
bool ensureHistoryTable(const QString &dir);

// One record of the storage tick: opens wwdd if it is closed, appends `datim` = now and
// aa1 … aaN = rec.Pv[k] as text for N = channelCount (the other channel fields stay NULL),
// posts. A failure throws DbError and leaves no half-filled record behind.
void StoreHistoryRecord(db::TTable &wwdd, const QDateTime &now, const TAllRecord &rec, int channelCount);

// The table side of "清空数据": close, delete every record keeping the structure, open again.
void EmptyHistory(db::TTable &wwdd);
