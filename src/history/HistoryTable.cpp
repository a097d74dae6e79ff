#include "HistoryTable.h"

#include "NumberText.h"
#include "TTable.h"

#include <QFileInfo>
#include <algorithm>

QString historyValueText(float pv) { return formatRecord(double(pv)); }

void defineHistoryTable(db::TTable &table)
{
    table.FieldDefs.clear();
    table.FieldDefs.append({HistoryTimeField, db::FieldType::DateTime, 0, false});
    for (int k = 1; k <= MaxChannels; ++k)
        table.FieldDefs.append({historyFieldName(k), db::FieldType::Text, HistoryTextSize, false});
    table.IndexDefs.clear();
    table.IndexDefs.append({HistoryTableName + QStringLiteral("_datim"), HistoryTimeField, false});
}

bool ensureHistoryTable(const QString &dir)
{
    db::TTable table;
    table.setDatabaseName(dir);
    table.setTableName(HistoryTableName);
    // An empty file (the sqlite3 shell leaves one when run before the first start) holds
    // nothing to lose: it gets the table. Any other file is left as it is; opening it says
    // whether it is ours.
    if (table.exists() && QFileInfo(table.filePath()).size() > 0)
        return false;
    defineHistoryTable(table);
    table.createTable();
    return true;
}

void StoreHistoryRecord(db::TTable &wwdd, const QDateTime &now, const TAllRecord &rec, int channelCount)
{
    if (!wwdd.active())
        wwdd.open();
    wwdd.append();
    try {
        wwdd.setFieldDateTime(HistoryTimeField, now);
        const int count = std::clamp(channelCount, 0, MaxChannels);
        for (int k = 1; k <= count; ++k)
            wwdd.setFieldText(historyFieldName(k), historyValueText(rec.Pv[k]));
        wwdd.post();
    } catch (...) {
        wwdd.cancel(); // the next tick starts a clean record
        throw;
    }
}

void EmptyHistory(db::TTable &wwdd)
{
    wwdd.close();
    wwdd.emptyTable();
    wwdd.open();
}
