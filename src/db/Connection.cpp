#include "Connection.h"

#include <QSqlQuery>
#include <QUuid>

namespace db {

QString reasonOf(const QSqlError &error)
{
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    if (text.isEmpty())
        text = error.text();
    // SQLITE_BUSY (5) and SQLITE_LOCKED (6): someone else holds the file.
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("5") || code == QLatin1String("6"))
        return QStringLiteral("the table is in use by another program (%1)").arg(text);
    return text;
}

Connection::Connection(const QString &file) : m_file(file) {}

Connection::~Connection() { close(); }

void Connection::open(const QString &operation) { openAs(m_file, operation); }

void Connection::openMemory(const QString &operation) { openAs(QStringLiteral(":memory:"), operation); }

void Connection::openAs(const QString &path, const QString &operation)
{
    close();
    const QString name = QStringLiteral("qz_db_") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        if (!db.isValid()) {
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            throw error(operation, QStringLiteral("the SQLite driver of QtSql is not available"));
        }
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
        if (!db.open()) {
            const QSqlError e = db.lastError();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            throw error(operation, e);
        }
    }
    m_name = name;
}

void Connection::close()
{
    if (m_name.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
    m_name.clear();
}

QSqlDatabase Connection::database() const { return QSqlDatabase::database(m_name, false); }

QVariant Connection::exec(const QString &sql, const QString &operation, const QVariantList &values) const
{
    QSqlQuery q(database());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        throw error(operation, q.lastError());
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw error(operation, q.lastError());
    QVariant result;
    if (q.isSelect() && q.next())
        result = q.value(0);
    q.finish();
    return result;
}

DbError Connection::error(const QString &operation, const QString &reason) const
{
    return DbError(m_file, operation, reason);
}

DbError Connection::error(const QString &operation, const QSqlError &sqlError) const
{
    return DbError(m_file, operation, reasonOf(sqlError));
}

} // namespace db
