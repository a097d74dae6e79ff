#pragma once
// Test records for wwdd: creates the table with its layout in a directory and inserts records
// in one transaction (the storage tick's one commit per record would make fixtures slow).
// A record is its stored time-stamp text and the texts of aa1 … aaN; a null QString in the
// list leaves that field NULL.

#include "HistoryTable.h"
#include "TTable.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

struct FixtureRecord {
    QString stamp; // "yyyy-MM-ddTHH:mm:ss.zzz"
    QStringList values;
};

inline QString fixtureStamp(const QDateTime &t) { return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")); }

// Returns an error text, empty on success.
inline QString writeFixture(const QString &dir, const QList<FixtureRecord> &records)
{
    ensureHistoryTable(dir);
    const QString name = QStringLiteral("history_fixture");
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(db::tableFilePath(dir, HistoryTableName));
        if (!db.open())
            error = db.lastError().text();
        if (error.isEmpty()) {
            db.transaction();
            for (const FixtureRecord &r : records) {
                QStringList columns{HistoryTimeField};
                QStringList marks{QStringLiteral("?")};
                for (int k = 1; k <= r.values.size(); ++k) {
                    columns.append(historyFieldName(k));
                    marks.append(QStringLiteral("?"));
                }
                QSqlQuery q(db);
                q.prepare(QStringLiteral("INSERT INTO wwdd (%1) VALUES (%2)")
                              .arg(columns.join(QLatin1Char(',')), marks.join(QLatin1Char(','))));
                q.addBindValue(r.stamp);
                for (const QString &v : r.values)
                    q.addBindValue(v.isNull() ? QVariant() : QVariant(v));
                if (!q.exec()) {
                    error = q.lastError().text();
                    break;
                }
            }
            db.commit();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}

// N channel texts "%8.3F" of base + k (k = 1 … n).
inline QStringList fixtureValues(int n, double base)
{
    QStringList values;
    for (int k = 1; k <= n; ++k)
        values.append(QString::asprintf("%8.3f", base + k));
    return values;
}
