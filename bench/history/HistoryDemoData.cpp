#include "HistoryDemoData.h"

#include "HistoryTable.h"
#include "NumberText.h"
#include "SharedState.h"
#include "TTable.h"

#include <cmath>
#include <sqlite3.h>

double demoValue(int channel, qint64 record, int intervalMs)
{
    const double seconds = double(record) * intervalMs / 1000.0;
    if (channel == 3 && std::fmod(seconds, 3 * 3600.0) < 120.0)
        return double(InterruptionMarker);
    const double wave = std::sin(2 * M_PI * seconds / (6 * 3600.0) + channel * 0.7);
    const double ripple = std::sin(2 * M_PI * seconds / 600.0 + channel) * 2.0;
    return 80.0 + 12.0 * channel + 40.0 * wave + ripple;
}

QString writeDemoHistory(const QString &dir, const QDateTime &start, qint64 records, int intervalMs, int channels)
{
    try {
        ensureHistoryTable(dir);
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    }
    sqlite3 *db = nullptr;
    const QByteArray file = db::tableFilePath(dir, HistoryTableName).toUtf8();
    if (sqlite3_open(file.constData(), &db) != SQLITE_OK) {
        const QString error = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        return error;
    }
    QString columns = HistoryTimeField;
    QString marks = QStringLiteral("?");
    for (int k = 1; k <= channels; ++k) {
        columns += QLatin1Char(',') + historyFieldName(k);
        marks += QStringLiteral(",?");
    }
    const QByteArray sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(HistoryTableName, columns, marks).toUtf8();
    sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *insert = nullptr;
    QString error;
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &insert, nullptr) != SQLITE_OK)
        error = QString::fromUtf8(sqlite3_errmsg(db));
    const qint64 startMs = start.toMSecsSinceEpoch();
    for (qint64 i = 0; error.isEmpty() && i < records; ++i) {
        const QByteArray stamp = QDateTime::fromMSecsSinceEpoch(startMs + i * intervalMs)
                                     .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
                                     .toLatin1();
        sqlite3_bind_text(insert, 1, stamp.constData(), int(stamp.size()), SQLITE_TRANSIENT);
        for (int k = 1; k <= channels; ++k) {
            const QByteArray text = formatRecord(demoValue(k, i, intervalMs)).toLatin1();
            sqlite3_bind_text(insert, k + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        }
        if (sqlite3_step(insert) != SQLITE_DONE)
            error = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, error.isEmpty() ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return error;
}
