#pragma once
// One QtSql connection to one SQLite file (or to memory), with a connection name of its own
// that is removed again on close, so opening and closing never leaves connections behind.
// Every failure becomes a DbError naming the file and the operation.

#include "DbError.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVariant>

namespace db {

// How long a statement waits for a lock held by another connection before it fails.
constexpr int BusyTimeoutMs = 1000;

// SQLite's message, made plain for the case every station meets: another program holds the file.
QString reasonOf(const QSqlError &error);

class Connection {
public:
    explicit Connection(const QString &file = QString());
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    QString file() const { return m_file; }
    void setFile(const QString &file) { close(); m_file = file; }
    bool isOpen() const { return !m_name.isEmpty(); }

    // Opens the file (SQLite creates it when missing; callers check first where that matters).
    void open(const QString &operation);
    // Opens an empty in-memory database (the home of a query's attached tables).
    void openMemory(const QString &operation);
    void close();

    QSqlDatabase database() const;

    // Runs one statement and returns the first column of its first row (null if none).
    QVariant exec(const QString &sql, const QString &operation, const QVariantList &values = {}) const;

    DbError error(const QString &operation, const QString &reason) const;
    DbError error(const QString &operation, const QSqlError &sqlError) const;

private:
    void openAs(const QString &path, const QString &operation);

    QString m_file;
    QString m_name;
};

} // namespace db
