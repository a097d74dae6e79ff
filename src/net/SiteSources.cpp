#include "SiteSources.h"

#include "HistoryLayout.h"

#include <QDir>
#include <QFile>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

QString columnText(sqlite3_stmt *st, int col)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(st, col)) : QString();
}

// A step that found no row or finished: resets the statement for its next use.
struct StatementUse {
    explicit StatementUse(sqlite3_stmt *st) : st(st) {}
    ~StatementUse()
    {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    }
    sqlite3_stmt *st;
};

} // namespace

QString historyFilePath(const QString &programDir) { return historyTablePath(programDir); }
QString journalFilePath(const QString &programDir)
{
    return QDir(programDir).filePath(QStringLiteral("Data/events.db"));
}

RowSource::RowSource(const QString &file) : m_file(file) {}

RowSource::~RowSource() { close(); }

void RowSource::close()
{
    for (sqlite3_stmt *st : m_statements)
        sqlite3_finalize(st);
    m_statements.clear();
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

QString RowSource::lastError() const
{
    return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("not open");
}

sqlite3_stmt *RowSource::prepareOne(const char *sql, QString *error)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(m_file, lastError());
        return nullptr;
    }
    m_statements.push_back(st);
    return st;
}

bool RowSource::keyAt(sqlite3_stmt *at, qint64 position, const QString &key, bool *found, bool *matches,
                      QString *error)
{
    StatementUse use(at);
    sqlite3_bind_int64(at, 1, position);
    const int rc = sqlite3_step(at);
    *found = rc == SQLITE_ROW;
    *matches = *found && columnText(at, 0) == key;
    if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        return true;
    *error = lastError();
    return false;
}

bool RowSource::ready(QString *error)
{
    struct stat st {};
    const QByteArray path = QFile::encodeName(m_file);
    if (::stat(path.constData(), &st) != 0) {
        close();
        *error = QStringLiteral("%1: no such file").arg(m_file);
        return false;
    }
    // Another file at the same path (deleted and created again): a fresh connection.
    if (m_db && (quint64(st.st_dev) != m_device || quint64(st.st_ino) != m_inode))
        close();
    if (m_db)
        return true;
    if (sqlite3_open_v2(path.constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(m_file, lastError());
        close();
        return false;
    }
    // The UI thread must not wait on the station's own writes: a busy file is tried again later.
    sqlite3_busy_timeout(m_db, 20);
    m_device = quint64(st.st_dev);
    m_inode = quint64(st.st_ino);
    if (!prepare(error)) {
        close();
        return false;
    }
    return true;
}

// --- wwdd ------------------------------------------------------------------------------------

HistorySource::HistorySource(const QString &programDir) : RowSource(historyFilePath(programDir)) {}

bool HistorySource::prepare(QString *error)
{
    const QByteArray table = HistoryTableName.toUtf8();
    const QByteArray time = HistoryTimeField.toUtf8();
    QByteArray columns = "rowid, " + time;
    for (int k = 1; k <= MaxChannels; ++k)
        columns += ", " + historyFieldName(k).toUtf8();
    m_at = prepareOne(("SELECT " + time + " FROM " + table + " WHERE rowid = ?1").constData(), error);
    if (!m_at)
        return false;
    m_after = prepareOne(("SELECT " + columns + " FROM " + table + " WHERE rowid > ?1 ORDER BY rowid LIMIT ?2").constData(), error);
    return m_after != nullptr;
}

bool HistorySource::positionValid(qint64 position, const QString &key, QString *error)
{
    if (position <= 0)
        return true;
    bool found = false, matches = false;
    if (!keyAt(m_at, position, key, &found, &matches, error))
        return true; // unknown: keep the position and try again next round
    return matches;
}

bool HistorySource::readAfter(qint64 position, int limit, QList<SourceItem> *out, QString *error)
{
    StatementUse use(m_after);
    sqlite3_bind_int64(m_after, 1, position);
    sqlite3_bind_int(m_after, 2, limit);
    int rc;
    while ((rc = sqlite3_step(m_after)) == SQLITE_ROW) {
        HistoryRow row;
        row.rowid = sqlite3_column_int64(m_after, 0);
        row.datim = columnText(m_after, 1);
        for (int k = 0; k < MaxChannels; ++k) {
            const bool isNull = sqlite3_column_type(m_after, 2 + k) == SQLITE_NULL;
            row.values[k] = storedValue(isNull ? QString() : columnText(m_after, 2 + k), isNull);
        }
        out->append({row.rowid, row.datim, encodeRecord(row)});
    }
    if (rc != SQLITE_DONE) {
        *error = lastError();
        return false;
    }
    return true;
}

// --- events ----------------------------------------------------------------------------------

JournalSource::JournalSource(const QString &programDir) : RowSource(journalFilePath(programDir)) {}

bool JournalSource::prepare(QString *error)
{
    m_at = prepareOne("SELECT time FROM events WHERE id = ?1", error);
    m_max = m_at ? prepareOne("SELECT max(id) FROM events", error) : nullptr;
    m_after = m_max ? prepareOne("SELECT id, time, source, channel, name, kind, value, transition, user, detail "
                                 "FROM events WHERE id > ?1 ORDER BY id LIMIT ?2",
                                 error)
                    : nullptr;
    return m_after != nullptr;
}

bool JournalSource::positionValid(qint64 position, const QString &key, QString *error)
{
    if (position <= 0)
        return true;
    bool found = false, matches = false;
    if (!keyAt(m_at, position, key, &found, &matches, error))
        return true;
    if (found)
        return matches;
    StatementUse use(m_max);
    if (sqlite3_step(m_max) != SQLITE_ROW) {
        *error = lastError();
        return true;
    }
    return sqlite3_column_type(m_max, 0) != SQLITE_NULL && sqlite3_column_int64(m_max, 0) >= position;
}

bool JournalSource::readAfter(qint64 position, int limit, QList<SourceItem> *out, QString *error)
{
    StatementUse use(m_after);
    sqlite3_bind_int64(m_after, 1, position);
    sqlite3_bind_int(m_after, 2, limit);
    int rc;
    while ((rc = sqlite3_step(m_after)) == SQLITE_ROW) {
        JournalRow e;
        e.id = sqlite3_column_int64(m_after, 0);
        e.time = columnText(m_after, 1);
        e.source = columnText(m_after, 2);
        if (sqlite3_column_type(m_after, 3) != SQLITE_NULL)
            e.channel = sqlite3_column_int(m_after, 3);
        e.name = columnText(m_after, 4);
        e.kind = columnText(m_after, 5);
        if (sqlite3_column_type(m_after, 6) != SQLITE_NULL)
            e.value = sqlite3_column_double(m_after, 6);
        e.transition = columnText(m_after, 7);
        e.user = columnText(m_after, 8);
        e.detail = columnText(m_after, 9);
        out->append({e.id, e.time, encodeEvent(e)});
    }
    if (rc != SQLITE_DONE) {
        *error = lastError();
        return false;
    }
    return true;
}
