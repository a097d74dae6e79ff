#pragma once
// Read-only views of the files the publisher sends from: the history table wwdd and the event
// journal Data/events.db. Each keeps its own SQLite connection (never SQLite's exclusive mode,
// never a write), reopens it when the file was replaced, and treats a missing or locked file
// as "nothing to send now".
//
// A position names the last item read: wwdd's rowid with its datim, the journal's id with its
// time. The key lets a reader tell that the position still means the same row:
//   - wwdd: rowids follow the order of storing, whatever the clock did; "清空数据" deletes
//     every record and rowids start again at 1, so the row at the position is gone or holds
//     another datim: reading starts again from the first record.
//   - events: ids are never reused (AUTOINCREMENT); a missing id below the largest is a pruned
//     row and reading goes on after it; a file that starts again (largest id below the
//     position, or another time at the id) is read from its first event.

#include "SitePayload.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

struct SourceItem {
    qint64 position = 0;
    QString key;
    QByteArray payload; // empty: the row cannot travel (damaged time) and is passed over
};

class RowSource {
public:
    explicit RowSource(const QString &file);
    virtual ~RowSource();
    RowSource(const RowSource &) = delete;
    RowSource &operator=(const RowSource &) = delete;

    QString file() const { return m_file; }
    // Makes the connection ready for a round; false (with the reason) when the file is missing,
    // locked or not the expected table. A false here costs nothing but a retry later.
    bool ready(QString *error);
    // Whether reading may go on after (position, key); false means: start from the beginning.
    virtual bool positionValid(qint64 position, const QString &key, QString *error) = 0;
    // Up to limit items after position, in order; false on a read error.
    virtual bool readAfter(qint64 position, int limit, QList<SourceItem> *out, QString *error) = 0;
    void close();

protected:
    virtual bool prepare(QString *error) = 0; // prepares the statements of a fresh connection
    // A statement of this connection; finalized when the connection closes.
    sqlite3_stmt *prepareOne(const char *sql, QString *error);
    // Whether the row at position holds key in the first column of at (a one-row lookup by
    // position); *found false when there is no such row. False with *error on a read error.
    bool keyAt(sqlite3_stmt *at, qint64 position, const QString &key, bool *found, bool *matches,
               QString *error);
    QString lastError() const;

    sqlite3 *m_db = nullptr;

private:
    std::vector<sqlite3_stmt *> m_statements;
    QString m_file;
    quint64 m_device = 0;
    quint64 m_inode = 0;
};

class HistorySource : public RowSource {
public:
    explicit HistorySource(const QString &programDir);
    bool positionValid(qint64 position, const QString &key, QString *error) override;
    bool readAfter(qint64 position, int limit, QList<SourceItem> *out, QString *error) override;

protected:
    bool prepare(QString *error) override;

private:
    sqlite3_stmt *m_at = nullptr;
    sqlite3_stmt *m_after = nullptr;
};

class JournalSource : public RowSource {
public:
    explicit JournalSource(const QString &programDir);
    bool positionValid(qint64 position, const QString &key, QString *error) override;
    bool readAfter(qint64 position, int limit, QList<SourceItem> *out, QString *error) override;

protected:
    bool prepare(QString *error) override;

private:
    sqlite3_stmt *m_at = nullptr;
    sqlite3_stmt *m_max = nullptr;
    sqlite3_stmt *m_after = nullptr;
};

// Where the files are: <programDir>/wwdd.db and <programDir>/Data/events.db.
QString historyFilePath(const QString &programDir);
QString journalFilePath(const QString &programDir);
