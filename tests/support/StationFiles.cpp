#include "StationFiles.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

QStringList sqlColumn(const QString &file, const QString &statement)
{
    const QString name = QUuid::createUuid().toString();
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(statement))
                while (q.next())
                    out.append(q.value(0).toString());
            else
                out.append(QStringLiteral("error: ") + q.lastError().text());
        } else {
            out.append(QStringLiteral("error: ") + db.lastError().text());
        }
    }
    QSqlDatabase::removeDatabase(name);
    return out;
}

namespace {

int count(const QString &home, const QString &statement)
{
    const QString file = home + QStringLiteral("/wwdd.db");
    if (!QFileInfo(file).isFile())
        return -1;
    const QStringList r = sqlColumn(file, statement);
    bool ok = false;
    const int n = r.size() == 1 ? r.first().toInt(&ok) : -1;
    return ok ? n : -1;
}

} // namespace

int recordCount(const QString &home) { return count(home, QStringLiteral("select count(*) from wwdd")); }

int measuredCount(const QString &home)
{
    return count(home, QStringLiteral("select count(*) from wwdd where trim(aa1) <> '-1000.000'"));
}
