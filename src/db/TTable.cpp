#include "TTable.h"

#include "DateTimeText.h"
#include "SqlText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>
#include <QSqlRecord>

namespace db {

namespace {

const QString DateTimeTypeName = QStringLiteral("DATETIME");

QString columnType(const FieldDef &def)
{
    QString type;
    if (def.type == FieldType::DateTime)
        type = DateTimeTypeName;
    else if (def.size > 0)
        type = QStringLiteral("VARCHAR(%1)").arg(def.size);
    else
        type = QStringLiteral("TEXT");
    if (def.required)
        type += QStringLiteral(" NOT NULL");
    return type;
}

// A field as SQLite reports it back (PRAGMA table_info).
FieldDef fieldFromDeclaration(const QString &name, const QString &declared, bool notNull)
{
    FieldDef def;
    def.name = name;
    def.required = notNull;
    const QString upper = declared.toUpper();
    if (upper.contains(DateTimeTypeName) || upper == QLatin1String("DATE")
        || upper.contains(QLatin1String("TIMESTAMP"))) {
        def.type = FieldType::DateTime;
        return def;
    }
    def.type = FieldType::Text;
    static const QRegularExpression sizePattern(QStringLiteral("\\(\\s*(\\d+)\\s*\\)"));
    const QRegularExpressionMatch m = sizePattern.match(upper);
    if (m.hasMatch())
        def.size = m.captured(1).toInt();
    return def;
}

QStringList splitIndexFields(const QString &fields)
{
    QStringList out;
    for (const QString &f : fields.split(u';'))
        if (!f.trimmed().isEmpty())
            out.append(f.trimmed());
    return out;
}

void removeTableFiles(const QString &path)
{
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"),
                                  QStringLiteral("-journal")})
        QFile::remove(path + suffix);
}

const QString WriterLockSuffix = QStringLiteral(".writer");

} // namespace

QString tableFilePath(const QString &dir, const QString &name)
{
    const QString file = QFileInfo(name).suffix().isEmpty() ? name + QStringLiteral(".db") : name;
    return QDir(dir.isEmpty() ? QStringLiteral(".") : dir).filePath(file);
}

QString tableInnerName(const QString &name)
{
    const QFileInfo info(name);
    return info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
}

TTable::TTable() = default;

TTable::~TTable()
{
    close();
}

DbError TTable::error(const QString &operation, const QString &reason) const
{
    return DbError(filePath(), operation, reason);
}

void TTable::requireClosed(const QString &operation) const
{
    if (active())
        throw error(operation, QStringLiteral("the table is open"));
}

void TTable::requireActive(const QString &operation) const
{
    if (!active())
        throw error(operation, QStringLiteral("the table is not open"));
}

int TTable::requireField(const QString &field, const QString &operation) const
{
    const int i = fieldIndex(field);
    if (i < 0)
        throw error(operation, QStringLiteral("the table has no field \"%1\"").arg(field));
    return i;
}

void TTable::setDatabaseName(const QString &dir)
{
    if (dir == m_dir)
        return;
    requireClosed(QStringLiteral("change the directory"));
    m_dir = dir;
}

void TTable::setTableName(const QString &name)
{
    if (name == m_name)
        return;
    requireClosed(QStringLiteral("change the table name"));
    m_name = name;
}

void TTable::setExclusive(bool exclusive)
{
    if (exclusive == m_exclusive)
        return;
    requireClosed(QStringLiteral("change exclusive use"));
    m_exclusive = exclusive;
}

QString TTable::filePath() const { return tableFilePath(m_dir, m_name); }

QString TTable::writerLockPath() const { return filePath() + WriterLockSuffix; }

QString TTable::innerName() const { return tableInnerName(m_name); }

bool TTable::exists() const
{
    return !m_name.isEmpty() && QFileInfo(filePath()).isFile();
}

void TTable::createTable()
{
    const QString op = QStringLiteral("create table");
    requireClosed(op);
    if (m_name.isEmpty())
        throw error(op, QStringLiteral("no table name"));

    // Check the definitions before anything touches the disk.
    if (FieldDefs.isEmpty())
        throw error(op, QStringLiteral("no fields defined"));
    QStringList columns;
    QSet<QString> names;
    for (const FieldDef &def : FieldDefs) {
        if (def.name.trimmed().isEmpty())
            throw error(op, QStringLiteral("a field has no name"));
        if (names.contains(def.name.toLower()))
            throw error(op, QStringLiteral("the field \"%1\" is defined twice").arg(def.name));
        names.insert(def.name.toLower());
        columns.append(quoteIdentifier(def.name) + u' ' + columnType(def));
    }
    QStringList statements;
    bool hasPrimary = false;
    for (const IndexDef &index : IndexDefs) {
        const QStringList fields = splitIndexFields(index.fields);
        if (fields.isEmpty())
            throw error(op, QStringLiteral("an index has no fields"));
        QStringList quoted;
        for (const QString &f : fields) {
            if (!names.contains(f.toLower()))
                throw error(op, QStringLiteral("the index field \"%1\" is not a field of the table").arg(f));
            quoted.append(quoteIdentifier(f));
        }
        if (index.primary) {
            if (hasPrimary)
                throw error(op, QStringLiteral("more than one primary index"));
            hasPrimary = true;
            columns.append(QStringLiteral("PRIMARY KEY (%1)").arg(quoted.join(u',')));
        } else {
            const QString name = index.name.isEmpty()
                ? innerName() + u'_' + fields.join(u'_') + QStringLiteral("_idx")
                : index.name;
            statements.append(QStringLiteral("CREATE INDEX %1 ON %2 (%3)")
                                  .arg(quoteIdentifier(name), quoteIdentifier(innerName()),
                                       quoted.join(u',')));
        }
    }
    statements.prepend(QStringLiteral("CREATE TABLE %1 (%2)")
                           .arg(quoteIdentifier(innerName()), columns.join(QStringLiteral(", "))));

    const QString path = filePath();
    const bool existed = QFileInfo::exists(path);
    Connection conn(path);
    try {
        conn.open(op);
        conn.exec(QStringLiteral("PRAGMA journal_mode=WAL"), op);
        conn.exec(QStringLiteral("PRAGMA synchronous=FULL"), op);
        const QVariant found = conn.exec(
            QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='table' AND name=? COLLATE NOCASE"),
            op, {innerName()});
        if (found.toInt() > 0)
            throw error(op, QStringLiteral("the table exists already"));
        conn.exec(QStringLiteral("BEGIN IMMEDIATE"), op);
        for (const QString &sql : statements)
            conn.exec(sql, op);
        conn.exec(QStringLiteral("COMMIT"), op);
        conn.close();
    } catch (...) {
        conn.close(); // rolls back whatever was begun
        if (!existed)
            removeTableFiles(path);
        throw;
    }
}

void TTable::open()
{
    if (active())
        return;
    const QString op = m_exclusive ? QStringLiteral("open table for exclusive use")
                                   : QStringLiteral("open table");
    if (m_name.isEmpty())
        throw error(op, QStringLiteral("no table name"));
    if (!exists())
        throw error(op, QStringLiteral("the table does not exist"));
    if (m_exclusive) {
        // Taken before the file is touched, so a second writer fails here, not at its first post.
        auto lock = std::make_unique<QLockFile>(writerLockPath());
        lock->setStaleLockTime(0); // only a dead holder's lock is stale
        if (!lock->tryLock(0)) {
            qint64 pid = 0;
            QString host, app;
            lock->getLockInfo(&pid, &host, &app);
            throw error(op, lock->error() == QLockFile::LockFailedError
                                ? QStringLiteral("the table is in use by another program (process %1)").arg(pid)
                                : QStringLiteral("the lock file %1 cannot be written").arg(writerLockPath()));
        }
        m_writerLock = std::move(lock);
    }
    Connection &c = m_conn;
    c.setFile(filePath());
    try {
        c.open(op);
        // The table first: a file that is not ours is refused before anything is written to it
        // (switching a database to WAL rewrites its header).
        loadFields(op);
        if (m_fields.isEmpty())
            throw error(op, QStringLiteral("the file holds no table \"%1\"").arg(innerName()));
        c.exec(QStringLiteral("PRAGMA journal_mode=WAL"), op);
        c.exec(QStringLiteral("PRAGMA synchronous=FULL"), op);
    } catch (...) {
        m_fields.clear();
        m_fieldIndex.clear();
        c.close();
        m_writerLock.reset();
        throw;
    }
}

void TTable::loadFields(const QString &operation)
{
    m_fields.clear();
    m_fieldIndex.clear();
    QSqlQuery q(m_conn.database());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("PRAGMA table_info(%1)").arg(quoteIdentifier(innerName()))))
        throw m_conn.error(operation, q.lastError());
    while (q.next()) {
        const FieldDef def = fieldFromDeclaration(q.value(1).toString(), q.value(2).toString(),
                                                  q.value(3).toInt() != 0);
        m_fieldIndex.insert(def.name.toLower(), int(m_fields.size()));
        m_fields.append(def);
    }
    if (q.lastError().isValid())
        throw m_conn.error(operation, q.lastError());
}

void TTable::close()
{
    cancel();
    m_insert.reset();
    m_insertColumns.clear();
    m_conn.close();
    m_writerLock.reset();
    m_fields.clear();
    m_fieldIndex.clear();
}

QList<FieldDef> TTable::fields() const { return active() ? m_fields : FieldDefs; }

QStringList TTable::fieldNames() const
{
    QStringList names;
    for (const FieldDef &def : fields())
        names.append(def.name);
    return names;
}

int TTable::fieldCount() const { return int(fields().size()); }

int TTable::fieldIndex(const QString &name) const
{
    if (active())
        return m_fieldIndex.value(name.toLower(), -1);
    for (qsizetype i = 0; i < FieldDefs.size(); ++i)
        if (FieldDefs.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    return -1;
}

void TTable::append()
{
    requireActive(QStringLiteral("append"));
    m_values = QVariantList(m_fields.size());
    m_assigned = QList<bool>(m_fields.size(), false);
    m_inserting = true;
}

void TTable::setFieldDateTime(const QString &field, const QDateTime &value)
{
    const QString op = QStringLiteral("set field");
    if (!m_inserting)
        throw error(op, QStringLiteral("no record is being appended"));
    const int i = requireField(field, op);
    m_values[i] = value.isValid() ? QVariant(dateTimeToText(value)) : QVariant();
    m_assigned[i] = true;
}

void TTable::setFieldText(const QString &field, const QString &value)
{
    const QString op = QStringLiteral("set field");
    if (!m_inserting)
        throw error(op, QStringLiteral("no record is being appended"));
    const int i = requireField(field, op);
    if (m_fields.at(i).type == FieldType::DateTime) {
        const QDateTime dt = dateTimeFromText(value);
        if (!dt.isValid())
            throw error(op, QStringLiteral("\"%1\" is not a valid date and time for the field \"%2\"")
                                .arg(value, m_fields.at(i).name));
        m_values[i] = dateTimeToText(dt);
    } else {
        m_values[i] = value;
    }
    m_assigned[i] = true;
}

void TTable::clearField(const QString &field)
{
    const QString op = QStringLiteral("set field");
    if (!m_inserting)
        throw error(op, QStringLiteral("no record is being appended"));
    const int i = requireField(field, op);
    m_values[i] = QVariant();
    m_assigned[i] = true;
}

void TTable::post()
{
    const QString op = QStringLiteral("post");
    requireActive(op);
    if (!m_inserting)
        throw error(op, QStringLiteral("no record is being appended"));
    QList<int> columns;
    for (qsizetype i = 0; i < m_assigned.size(); ++i)
        if (m_assigned.at(i))
            columns.append(int(i));
    if (!m_insert || columns != m_insertColumns) {
        m_insert.reset();
        QString sql;
        if (columns.isEmpty()) {
            sql = QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(quoteIdentifier(innerName()));
        } else {
            QStringList names;
            QStringList marks;
            for (int c : columns) {
                names.append(quoteIdentifier(m_fields.at(c).name));
                marks.append(QStringLiteral("?"));
            }
            sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                      .arg(quoteIdentifier(innerName()), names.join(u','), marks.join(u','));
        }
        auto q = std::make_unique<QSqlQuery>(m_conn.database());
        if (!q->prepare(sql))
            throw m_conn.error(op, q->lastError());
        m_insert = std::move(q);
        m_insertColumns = columns;
    }
    for (qsizetype k = 0; k < columns.size(); ++k)
        m_insert->bindValue(int(k), m_values.at(columns.at(k)));
    // One statement in autocommit mode: committed (and synced to the log) when exec returns.
    const bool ok = m_insert->exec();
    const QSqlError e = m_insert->lastError();
    m_insert->finish();
    if (!ok)
        throw m_conn.error(op, e); // the record stays pending; cancel() or append() drops it
    cancel();
}

void TTable::cancel()
{
    m_inserting = false;
    m_values.clear();
    m_assigned.clear();
}

void TTable::deleteAll()
{
    const QString op = QStringLiteral("empty table");
    cancel();
    m_insert.reset();
    m_insertColumns.clear();
    m_conn.exec(QStringLiteral("DELETE FROM %1").arg(quoteIdentifier(innerName())), op);
    // Give the space back: the history of a year is hundreds of megabytes.
    m_conn.exec(QStringLiteral("VACUUM"), op);
}

void TTable::emptyTable()
{
    if (active()) {
        deleteAll();
        return;
    }
    const bool wasExclusive = m_exclusive;
    m_exclusive = true;
    try {
        open();
    } catch (...) {
        m_exclusive = wasExclusive;
        throw;
    }
    m_exclusive = wasExclusive;
    try {
        deleteAll();
    } catch (...) {
        close();
        throw;
    }
    close();
}

qint64 TTable::recordCount() const
{
    const QString op = QStringLiteral("count records");
    requireActive(op);
    return m_conn.exec(QStringLiteral("SELECT count(*) FROM %1").arg(quoteIdentifier(innerName())), op)
        .toLongLong();
}

} // namespace db
