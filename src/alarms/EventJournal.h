#pragma once
// The alarm and event journal: its own SQLite file, <program directory>/Data/events.db, never
// inside wwdd. One row per event:
//
//   CREATE TABLE events (
//     id         INTEGER PRIMARY KEY AUTOINCREMENT, -- never reused: a reader's "id > n" is safe
//     time       TEXT NOT NULL,   -- local 'yyyy-MM-ddTHH:mm:ss.zzz', like wwdd's datim
//     source     TEXT NOT NULL,   -- 'instrument' | 'limit' | 'comm' | 'station'
//     channel    INTEGER,         -- 1 … 32; NULL for the station
//     name       TEXT NOT NULL,   -- the channel's name then, '' for the station
//     kind       TEXT NOT NULL,   -- '上限报警', '信号断线', '通讯中断', '程序启动', …
//     value      REAL,            -- the channel value; NULL when there is none
//     transition TEXT NOT NULL,   -- 'raised' | 'returned' | 'acknowledged' | 'event'
//     user       TEXT NOT NULL DEFAULT '',  -- who acknowledged
//     detail     TEXT NOT NULL DEFAULT '',  -- free text (file saved, error, "未通知", …)
//     state      TEXT NOT NULL DEFAULT ''   -- the alarm's state after the row ('' for the station)
//   );
//   CREATE INDEX events_time ON events(time);
//   CREATE INDEX events_alarm ON events(source, channel, kind);
//
// Other programs read the file while the station writes (reports, the network publisher), so
// it is in WAL mode and never in SQLite's exclusive locking mode; synchronous=FULL makes every
// committed row survive a killed process or a power cut. Columns are only ever added after the
// last one; readers select them by name. The state column lets the station rebuild its alarm
// list at start from the last row of each alarm (events_alarm finds it at once).

#include "AlarmEngine.h"
#include "Connection.h"
#include "DateTimeText.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

class QSqlQuery;

inline const QString EventJournalDirectory = QStringLiteral("Data");
inline const QString EventJournalFileName = QStringLiteral("events.db");

// <programDir>/Data/events.db
QString eventJournalPath(const QString &programDir);

struct JournalEvent {
    qint64 id = 0;           // set once written
    QDateTime time;
    AlarmSource source = AlarmSource::Station;
    int channel = 0;         // 0: none (NULL)
    QString name;
    QString kind;
    double value = NoValue;  // NaN: none (NULL)
    Transition transition = Transition::Event;
    QString user;
    QString detail;
    // The alarm's state after this row; station events have none.
    AlarmState state = AlarmState::Normal;
    QString timeText;        // as stored (read rows only)

    bool isStation() const { return source == AlarmSource::Station; }
};

JournalEvent journalEventOf(const AlarmEvent &event);
JournalEvent stationEvent(const QDateTime &time, const QString &kind, const QString &detail = QString());

class EventJournal {
public:
    explicit EventJournal(const QString &file = QString());
    ~EventJournal();
    EventJournal(const EventJournal &) = delete;
    EventJournal &operator=(const EventJournal &) = delete;

    QString file() const { return m_conn.file(); }
    void setFile(const QString &file);
    bool isOpen() const { return m_conn.isOpen(); }

    // Opens the file for writing, creating it (and its directory), the table and the indexes
    // when missing. A file that holds something else than a journal is left untouched and
    // refused. Throws db::DbError.
    void open();
    // Opens an existing journal to read it only; a missing file or table is an error.
    void openForReading();
    void close();

    // Appends the events in one transaction (one sync to disk) and sets their ids. On an
    // error nothing of them is written and db::DbError is thrown.
    void append(QList<JournalEvent> &events);
    void append(JournalEvent &event);

    // Rows stamped within [from, to] (both ends as given, milliseconds included), newest first,
    // at most `limit` of them (0: no limit).
    QList<JournalEvent> query(const QDateTime &from, const QDateTime &to, int limit = 0) const;
    // Every row within [from, to], oldest first, without holding them all; fn returns false to
    // stop. Throws db::DbError.
    void forEach(const QDateTime &from, const QDateTime &to, const std::function<bool(const JournalEvent &)> &fn) const;

    // The alarms whose last row leaves them listed, with the time, name and value of their
    // last raise: the list as it stood when the station last wrote.
    QList<Alarm> openAlarms(const QList<AlarmKey> &keys) const;

    // Whether the last "程序启动" has a "程序退出" after it (true when there is no start at all).
    bool previousRunEnded() const;

    qint64 rowCount() const;
    qint64 lastId() const;
    // The connection itself (its settings, for diagnostics and tests).
    QSqlDatabase database() const { return m_conn.database(); }

private:
    void openConnection(bool create);
    void checkTable(const QString &operation, bool mayAlter);
    JournalEvent readRow(const QSqlQuery &q, db::LocalMsecs &local) const;
    void selectInto(const QString &sql, const QVariantList &values,
                    const std::function<bool(const JournalEvent &)> &fn, const QString &operation) const;

    db::Connection m_conn;
    std::unique_ptr<QSqlQuery> m_insert;
};

// Station event kinds.
namespace station_kinds {
inline const QString ProgramStarted = QStringLiteral("程序启动");
inline const QString ProgramEnded = QStringLiteral("程序退出");
inline const QString RunStarted = QStringLiteral("开始运行");
inline const QString RunStopped = QStringLiteral("停止运行");
inline const QString PortOpenFailed = QStringLiteral("打开串口失败");
inline const QString PortRestored = QStringLiteral("串口恢复");
inline const QString StorageFailed = QStringLiteral("存盘失败");
inline const QString StorageRestored = QStringLiteral("存盘恢复");
inline const QString HistoryEmptied = QStringLiteral("清空历史数据");
inline const QString ErrorReported = QStringLiteral("运行错误");
inline const QString SecurityWarning = QStringLiteral("安全警告");
inline const QString SettingsSaved = QStringLiteral("保存设置");
inline const QString NotifyFailed = QStringLiteral("报警通知失败");
inline const QString NotifyRestored = QStringLiteral("报警通知恢复");
} // namespace station_kinds
