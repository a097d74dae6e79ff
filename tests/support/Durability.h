#pragma once
// Helpers of the kill -9 durability tests: a writer process prints a sequence number once
// each write has been committed; the test kills it at random moments and then checks that
// every number it printed is stored and that SQLite finds the file intact. Header-only: the
// tests that use it link Qt6::Sql themselves.

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

namespace durability {

// SQLite's own verdict on a file: "ok", or its first complaint ("cannot open" when it does
// not open at all).
inline QString integrityCheck(const QString &file)
{
    const QString name = QStringLiteral("qz_durability_check");
    QString result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next())
                result = q.value(0).toString();
        } else {
            result = QStringLiteral("cannot open");
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

// Sequence numbers in the complete lines of a writer's output; the part after the last line
// end was cut by the kill and does not count.
inline void collectNumbers(const QByteArray &output, QSet<qint64> *numbers, qint64 *last)
{
    const QList<QByteArray> lines = output.split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        bool ok = false;
        const qint64 n = lines.at(i).trimmed().toLongLong(&ok);
        if (ok) {
            numbers->insert(n);
            *last = qMax(*last, n);
        }
    }
}

} // namespace durability
