#pragma once
// The acknowledged cursor: per stream ("record", "event") the position and key of the last
// item the broker acknowledged, kept in a small SQLite file of its own
// (<program directory>/Data/site_cursor.db). It moves only on PUBACK. Writing it late or
// losing the last write costs duplicates after a restart, never a gap: the collector drops
// duplicates.

#include <QHash>
#include <QString>

struct sqlite3;

struct CursorPosition {
    qint64 position = 0;
    QString key;
    bool operator==(const CursorPosition &) const = default;
};

class PublishCursor {
public:
    PublishCursor() = default;
    ~PublishCursor();
    PublishCursor(const PublishCursor &) = delete;
    PublishCursor &operator=(const PublishCursor &) = delete;

    // Opens (creating when missing) the cursor file. A file that is damaged or not ours is
    // set aside as "<file>.damaged" and a fresh one started: sending begins again from the
    // first stored item, which the collector absorbs.
    bool open(const QString &file, QString *error);
    void close();
    bool isOpen() const { return m_db != nullptr; }

    CursorPosition load(const QString &stream) const; // {0, ""} when unknown
    bool save(const QString &stream, const CursorPosition &position, QString *error);

private:
    bool openFile(const QString &file, QString *error);
    sqlite3 *m_db = nullptr;
};

QString cursorFilePath(const QString &programDir);
