#pragma once
// A table of the station's table engine: one SQLite file per table.
// Table T in directory D is the file D/T.db when T has no extension and D/T otherwise
// ("PrintData.Dat" is D/PrintData.Dat); the table inside the file is named T without its
// extension ("PrintData"). Every failure throws DbError; nothing here shows a message.
//
// Durability: every table runs in write-ahead-log mode with synchronous=FULL, and each post is
// its own committed transaction, so a killed process loses at most the record being written.
// Exclusive use means one writer: an exclusive open takes the table's writer lock (a lock
// file beside the table, "<file>.writer"), so a second exclusive open, in this process or
// another, fails while readers (reports, the sqlite3 shell, online backups, the history
// window) still open and read the table while it is written. A lock left by a killed process
// is taken over.

#include "Connection.h"
#include "TableDefs.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QVariant>
#include <memory>

class QLockFile;

class QSqlQuery;

namespace db {

// The file that holds table `name` in directory `dir`.
QString tableFilePath(const QString &dir, const QString &name);
// The name of the table inside its file: `name` without its extension.
QString tableInnerName(const QString &name);

class TTable {
public:
    TTable();
    ~TTable();
    TTable(const TTable &) = delete;
    TTable &operator=(const TTable &) = delete;

    // Binding; changing it while the table is open throws.
    void setDatabaseName(const QString &dir);
    QString databaseName() const { return m_dir; }
    void setTableName(const QString &name);
    QString tableName() const { return m_name; }
    void setExclusive(bool exclusive);
    bool exclusive() const { return m_exclusive; }

    QString filePath() const;
    // The lock file an exclusive open holds.
    QString writerLockPath() const;
    QString innerName() const;
    // True when the table's file is there (its contents are checked on open).
    bool exists() const;

    // Definitions used by createTable().
    QList<FieldDef> FieldDefs;
    QList<IndexDef> IndexDefs;

    // Creates the file and the table from FieldDefs and IndexDefs. Never replaces an existing
    // table: a file that already holds it throws, and its contents stay as they were.
    void createTable();

    void open();  // opening an open table does nothing
    void close(); // drops a record being appended
    bool active() const { return m_conn.isOpen(); }

    // The fields in field order: those of the open table as stored, else the definitions.
    QList<FieldDef> fields() const;
    QStringList fieldNames() const;
    int fieldCount() const;
    int fieldIndex(const QString &name) const; // case-insensitive; -1 when unknown

    // Appending: append() starts an empty record (all fields NULL), the setters fill it,
    // post() stores it. Unknown field names throw.
    void append();
    void setFieldDateTime(const QString &field, const QDateTime &value); // invalid: NULL
    void setFieldText(const QString &field, const QString &value);       // a date-time field parses the text
    void clearField(const QString &field);
    void post();
    void cancel();
    bool inserting() const { return m_inserting; }

    // Deletes every record and keeps the structure. On a closed table it takes the file for
    // exclusive use for the time of the deletion.
    void emptyTable();

    qint64 recordCount() const; // of the open table
    // The connection of the open table (diagnostics and tests: which thread owns it).
    QSqlDatabase database() const { return m_conn.database(); }

private:
    DbError error(const QString &operation, const QString &reason) const;
    void requireClosed(const QString &operation) const;
    void requireActive(const QString &operation) const;
    int requireField(const QString &field, const QString &operation) const;
    void loadFields(const QString &operation = QStringLiteral("read the fields"));
    void deleteAll();

    QString m_dir;
    QString m_name;
    bool m_exclusive = false;

    Connection m_conn;
    std::unique_ptr<QLockFile> m_writerLock; // held while open for exclusive use
    QList<FieldDef> m_fields; // of the open table
    QHash<QString, int> m_fieldIndex;

    bool m_inserting = false;
    QVariantList m_values;
    QList<bool> m_assigned;
    std::unique_ptr<QSqlQuery> m_insert;
    QList<int> m_insertColumns; // the columns m_insert was prepared for
};

} // namespace db
