#include "PublishCursor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sqlite3.h>

QString cursorFilePath(const QString &programDir)
{
    return QDir(programDir).filePath(QStringLiteral("Data/site_cursor.db"));
}

PublishCursor::~PublishCursor() { close(); }

void PublishCursor::close()
{
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

bool PublishCursor::openFile(const QString &file, QString *error)
{
    close();
    const QByteArray path = QFile::encodeName(file);
    if (sqlite3_open_v2(path.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr)
        != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(file, m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString());
        close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 100);
    char *msg = nullptr;
    // NORMAL is enough: a lost last write means duplicates, never a gap.
    const int rc = sqlite3_exec(m_db,
                                "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                                "CREATE TABLE IF NOT EXISTS cursor (stream TEXT PRIMARY KEY, position INTEGER NOT NULL,"
                                " key TEXT NOT NULL);"
                                "SELECT stream, position, key FROM cursor LIMIT 1;",
                                nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("%1: %2").arg(file, QString::fromUtf8(msg ? msg : sqlite3_errstr(rc)));
        sqlite3_free(msg);
        close();
        return false;
    }
    return true;
}

bool PublishCursor::open(const QString &file, QString *error)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (openFile(file, error))
        return true;
    // Not a cursor file we can use: keep it for a look and start afresh.
    const QString aside = file + QStringLiteral(".damaged");
    QFile::remove(aside);
    if (!QFile::rename(file, aside))
        return false;
    QFile::remove(file + QStringLiteral("-wal"));
    QFile::remove(file + QStringLiteral("-shm"));
    QString second;
    if (!openFile(file, &second)) {
        *error += QStringLiteral("; ") + second;
        return false;
    }
    return true;
}

CursorPosition PublishCursor::load(const QString &stream) const
{
    CursorPosition p;
    if (!m_db)
        return p;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT position, key FROM cursor WHERE stream = ?1", -1, &st, nullptr) != SQLITE_OK)
        return p;
    const QByteArray name = stream.toUtf8();
    sqlite3_bind_text(st, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) {
        p.position = sqlite3_column_int64(st, 0);
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
        p.key = text ? QString::fromUtf8(text, sqlite3_column_bytes(st, 1)) : QString();
    }
    sqlite3_finalize(st);
    return p;
}

bool PublishCursor::save(const QString &stream, const CursorPosition &position, QString *error)
{
    if (!m_db) {
        *error = QStringLiteral("cursor file not open");
        return false;
    }
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(m_db, "INSERT INTO cursor (stream, position, key) VALUES (?1, ?2, ?3)"
                                 " ON CONFLICT(stream) DO UPDATE SET position = excluded.position, key = excluded.key",
                           -1, &st, nullptr)
        != SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return false;
    }
    const QByteArray name = stream.toUtf8();
    const QByteArray key = position.key.toUtf8();
    sqlite3_bind_text(st, 1, name.constData(), int(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 2, position.position);
    sqlite3_bind_text(st, 3, key.constData(), int(key.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) {
        *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return false;
    }
    return true;
}
