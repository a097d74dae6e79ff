#pragma once
// Station homes for the site network tests: wwdd created by the history code and stored to
// the way the station stores (a non-exclusive table), and the event journal created with its
// published schema.

#include "HistoryTable.h"
#include "WindowState.h"
#include "TTable.h"

#include <QDateTime>
#include <QDir>
#include <QString>
#include <QVariant>
#include <sqlite3.h>

namespace sitefixture {

inline const char *JournalSchema =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, source TEXT NOT NULL, channel INTEGER,"
    " name TEXT NOT NULL, kind TEXT NOT NULL, value REAL, transition TEXT NOT NULL,"
    " user TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS events_time ON events(time);";

// Stores one record with channels 1 … count = base + k / 10 (channel 3 interrupted).
inline void storeRecord(db::TTable &wwdd, const QDateTime &when, int count, float base)
{
    SysParams.ChannelCount = count;
    for (int k = 1; k <= MaxChannels; ++k)
        AllRecord.Pv[k] = k == 3 ? InterruptionMarker : base + float(k) / 10.0f;
    StoreHistoryRecord(wwdd, when, AllRecord, SysParams.ChannelCount);
}

inline bool execSql(const QString &file, const QString &sql, QString *error = nullptr)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(file).constData(), &db) == SQLITE_OK;
    char *msg = nullptr;
    if (ok && sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &msg) != SQLITE_OK) {
        ok = false;
        if (error)
            *error = QString::fromUtf8(msg);
    }
    sqlite3_free(msg);
    sqlite3_close(db);
    return ok;
}

inline QString journalFile(const QString &home) { return QDir(home).filePath(QStringLiteral("Data/events.db")); }

inline bool addEvent(const QString &home, const QString &time, const QString &kind, int channel, double value)
{
    QDir(home).mkpath(QStringLiteral("Data"));
    return execSql(journalFile(home),
                   QString::fromUtf8(JournalSchema)
                       + QStringLiteral("INSERT INTO events (time, source, channel, name, kind, value, transition)"
                                        " VALUES ('%1', 'limit', %2, '油储温度%2', '%3', %4, 'raised');")
                             .arg(time)
                             .arg(channel)
                             .arg(kind)
                             .arg(value));
}

} // namespace sitefixture
