#include "EventJournal.h"

#include "DateTimeText.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <cmath>

namespace {

const QString CreateTable = QStringLiteral(
    "CREATE TABLE events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " channel INTEGER,"
    " name TEXT NOT NULL,"
    " kind TEXT NOT NULL,"
    " value REAL,"
    " transition TEXT NOT NULL,"
    " user TEXT NOT NULL DEFAULT '',"
    " detail TEXT NOT NULL DEFAULT '',"
    " state TEXT NOT NULL DEFAULT '')");
const QString CreateTimeIndex = QStringLiteral("CREATE INDEX IF NOT EXISTS events_time ON events(time)");
const QString CreateAlarmIndex =
    QStringLiteral("CREATE INDEX IF NOT EXISTS events_alarm ON events(source, channel, kind)");

const QString Columns =
    QStringLiteral("id, time, source, channel, name, kind, value, transition, user, detail, state");

// The columns every reader needs; `state` may be missing in a file written by an older station
// and is then added.
const QStringList RequiredColumns = {QStringLiteral("id"),     QStringLiteral("time"),       QStringLiteral("source"),
                                     QStringLiteral("channel"), QStringLiteral("name"),      QStringLiteral("kind"),
                                     QStringLiteral("value"),   QStringLiteral("transition"), QStringLiteral("user"),
                                     QStringLiteral("detail")};

// Texts of NOT NULL columns: an empty text must not be bound as NULL.
QString notNullText(const QString &s) { return s.isNull() ? QStringLiteral("") : s; }

constexpr qint64 UnixEpochJulianDay = 2440588;
constexpr qint64 MsecsPerDay = 86400000;

QVariant nullable(double v) { return std::isnan(v) ? QVariant() : QVariant(v); }
QVariant nullableChannel(int c) { return c > 0 ? QVariant(c) : QVariant(); }

// The stored local time as a QDateTime. Rows come in time order, so the local offset is
// looked up once an hour (LocalMsecs) and the result carries it as a fixed offset: converting
// every row through the local time zone costs the C library a look at the zone file each time.
QDateTime rowTime(const QString &text, db::LocalMsecs &local)
{
    const QByteArray bytes = text.toLatin1();
    QDate date;
    QTime time;
    if (!db::parseDateTimeText(bytes.constData(), bytes.size(), &date, &time))
        return QDateTime();
    const qint64 utc = local.toMsecs(date, time);
    const qint64 wall = (date.toJulianDay() - UnixEpochJulianDay) * MsecsPerDay + time.msecsSinceStartOfDay();
    return QDateTime::fromMSecsSinceEpoch(utc, Qt::OffsetFromUTC, int((wall - utc) / 1000));
}

} // namespace

QString eventJournalPath(const QString &programDir)
{
    return QDir(programDir.isEmpty() ? QStringLiteral(".") : programDir)
        .filePath(EventJournalDirectory + QLatin1Char('/') + EventJournalFileName);
}

JournalEvent journalEventOf(const AlarmEvent &event)
{
    JournalEvent j;
    j.time = event.time;
    j.source = event.key.source;
    j.channel = event.key.channel;
    j.name = event.name;
    j.kind = event.key.kind;
    j.value = event.value;
    j.transition = event.transition;
    j.user = event.user;
    j.detail = event.detail;
    j.state = event.stateAfter;
    return j;
}

JournalEvent stationEvent(const QDateTime &time, const QString &kind, const QString &detail)
{
    JournalEvent j;
    j.time = time;
    j.source = AlarmSource::Station;
    j.kind = kind;
    j.transition = Transition::Event;
    j.detail = detail;
    return j;
}

EventJournal::EventJournal(const QString &file) : m_conn(file) {}

EventJournal::~EventJournal() { close(); }

void EventJournal::setFile(const QString &file)
{
    close();
    m_conn.setFile(file);
}

void EventJournal::open() { openConnection(true); }

void EventJournal::openForReading() { openConnection(false); }

void EventJournal::openConnection(bool create)
{
    close();
    const QString op = create ? QStringLiteral("open the event journal") : QStringLiteral("read the event journal");
    // SQLite would take an empty name for a private temporary file and the rows would vanish.
    if (file().isEmpty())
        throw m_conn.error(op, QStringLiteral("no file is set"));
    const QFileInfo info(file());
    if (!info.exists()) {
        if (!create)
            throw m_conn.error(op, QStringLiteral("the file does not exist"));
        if (!QDir().mkpath(info.absolutePath()))
            throw m_conn.error(op, QStringLiteral("cannot create the directory %1").arg(info.absolutePath()));
    }
    try {
        m_conn.open(op);
        // Never locking_mode=EXCLUSIVE: readers come and go while the station writes.
        m_conn.exec(QStringLiteral("PRAGMA journal_mode=WAL"), op);
        m_conn.exec(QStringLiteral("PRAGMA synchronous=FULL"), op);
        checkTable(op, create);
    } catch (...) {
        close();
        throw;
    }
}

void EventJournal::checkTable(const QString &operation, bool mayAlter)
{
    QSet<QString> columns;
    {
        QSqlQuery q(m_conn.database());
        if (!q.exec(QStringLiteral("PRAGMA table_info(events)")))
            throw m_conn.error(operation, q.lastError());
        while (q.next())
            columns.insert(q.value(1).toString().toLower());
    }
    if (columns.isEmpty()) {
        if (!mayAlter)
            throw m_conn.error(operation, QStringLiteral("the file holds no table \"events\""));
        m_conn.exec(QStringLiteral("BEGIN IMMEDIATE"), operation);
        try {
            m_conn.exec(CreateTable, operation);
            m_conn.exec(CreateTimeIndex, operation);
            m_conn.exec(CreateAlarmIndex, operation);
            m_conn.exec(QStringLiteral("COMMIT"), operation);
        } catch (...) {
            m_conn.database().rollback();
            throw;
        }
        return;
    }
    for (const QString &c : RequiredColumns)
        if (!columns.contains(c))
            throw m_conn.error(operation, QStringLiteral("the table \"events\" has no column \"%1\"; it is not an event journal").arg(c));
    if (!columns.contains(QStringLiteral("state"))) {
        if (!mayAlter)
            throw m_conn.error(operation, QStringLiteral("the table \"events\" has no column \"state\""));
        m_conn.exec(QStringLiteral("ALTER TABLE events ADD COLUMN state TEXT NOT NULL DEFAULT ''"), operation);
    }
    if (mayAlter) {
        m_conn.exec(CreateTimeIndex, operation);
        m_conn.exec(CreateAlarmIndex, operation);
    }
}

void EventJournal::close()
{
    m_insert.reset();
    m_conn.close();
}

void EventJournal::append(JournalEvent &event)
{
    QList<JournalEvent> one{event};
    append(one);
    event.id = one.first().id;
}

void EventJournal::append(QList<JournalEvent> &events)
{
    const QString op = QStringLiteral("append to the event journal");
    if (!isOpen())
        throw m_conn.error(op, QStringLiteral("the journal is not open"));
    if (events.isEmpty())
        return;
    if (!m_insert) {
        auto q = std::make_unique<QSqlQuery>(m_conn.database());
        if (!q->prepare(QStringLiteral("INSERT INTO events (time, source, channel, name, kind, value, transition, "
                                       "user, detail, state) VALUES (?,?,?,?,?,?,?,?,?,?)")))
            throw m_conn.error(op, q->lastError());
        m_insert = std::move(q);
    }
    QList<qint64> ids;
    ids.reserve(events.size());
    m_conn.exec(QStringLiteral("BEGIN IMMEDIATE"), op);
    try {
        for (const JournalEvent &e : std::as_const(events)) {
            QSqlQuery &q = *m_insert;
            q.bindValue(0, db::dateTimeToText(e.time));
            q.bindValue(1, sourceToken(e.source));
            q.bindValue(2, nullableChannel(e.channel));
            q.bindValue(3, notNullText(e.name));
            q.bindValue(4, notNullText(e.kind));
            q.bindValue(5, nullable(e.value));
            q.bindValue(6, transitionToken(e.transition));
            q.bindValue(7, notNullText(e.user));
            q.bindValue(8, notNullText(e.detail));
            q.bindValue(9, e.isStation() ? notNullText(QString()) : stateToken(e.state));
            const bool ok = q.exec();
            const QSqlError error = q.lastError();
            const QVariant id = q.lastInsertId();
            q.finish();
            if (!ok)
                throw m_conn.error(op, error);
            ids.append(id.toLongLong());
        }
        m_conn.exec(QStringLiteral("COMMIT"), op);
    } catch (...) {
        QSqlQuery rollback(m_conn.database());
        rollback.exec(QStringLiteral("ROLLBACK"));
        throw;
    }
    for (qsizetype i = 0; i < events.size(); ++i)
        events[i].id = ids.at(i);
}

JournalEvent EventJournal::readRow(const QSqlQuery &q, db::LocalMsecs &local) const
{
    JournalEvent e;
    e.id = q.value(0).toLongLong();
    e.timeText = q.value(1).toString();
    e.time = rowTime(e.timeText, local);
    e.source = sourceFromToken(q.value(2).toString(), AlarmSource::Station);
    e.channel = q.value(3).isNull() ? 0 : q.value(3).toInt();
    e.name = q.value(4).toString();
    e.kind = q.value(5).toString();
    e.value = q.value(6).isNull() ? NoValue : q.value(6).toDouble();
    e.transition = transitionFromToken(q.value(7).toString());
    e.user = q.value(8).toString();
    e.detail = q.value(9).toString();
    e.state = stateFromToken(q.value(10).toString(), AlarmState::Normal);
    return e;
}

void EventJournal::selectInto(const QString &sql, const QVariantList &values,
                              const std::function<bool(const JournalEvent &)> &fn, const QString &operation) const
{
    if (!isOpen())
        throw m_conn.error(operation, QStringLiteral("the journal is not open"));
    QSqlQuery q(m_conn.database());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        throw m_conn.error(operation, q.lastError());
    for (qsizetype i = 0; i < values.size(); ++i)
        q.bindValue(int(i), values.at(i));
    if (!q.exec())
        throw m_conn.error(operation, q.lastError());
    db::LocalMsecs local;
    while (q.next())
        if (!fn(readRow(q, local)))
            break;
    if (q.lastError().isValid())
        throw m_conn.error(operation, q.lastError());
}

QList<JournalEvent> EventJournal::query(const QDateTime &from, const QDateTime &to, int limit) const
{
    QList<JournalEvent> rows;
    QString sql = QStringLiteral("SELECT %1 FROM events WHERE time >= ? AND time <= ? ORDER BY time DESC, id DESC").arg(Columns);
    if (limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(limit);
    selectInto(sql, {db::dateTimeToText(from), db::dateTimeToText(to)},
               [&rows](const JournalEvent &e) {
                   rows.append(e);
                   return true;
               },
               QStringLiteral("query the event journal"));
    return rows;
}

void EventJournal::forEach(const QDateTime &from, const QDateTime &to,
                           const std::function<bool(const JournalEvent &)> &fn) const
{
    selectInto(QStringLiteral("SELECT %1 FROM events WHERE time >= ? AND time <= ? ORDER BY time, id").arg(Columns),
               {db::dateTimeToText(from), db::dateTimeToText(to)}, fn, QStringLiteral("read the event journal"));
}

QList<Alarm> EventJournal::openAlarms(const QList<AlarmKey> &keys) const
{
    const QString op = QStringLiteral("rebuild the alarm list");
    if (!isOpen())
        throw m_conn.error(op, QStringLiteral("the journal is not open"));
    // Two statements prepared once, then one look-up in events_alarm per alarm: at start-up
    // with years of rows this stays a few hundred index look-ups.
    QSqlQuery last(m_conn.database());
    QSqlQuery raised(m_conn.database());
    QSqlQuery lastComm(m_conn.database());
    QSqlQuery raisedComm(m_conn.database());
    const QString lastSql = QStringLiteral("SELECT %1 FROM events WHERE source = ? AND channel %2 AND kind = ? %3 "
                                           "ORDER BY id DESC LIMIT 1");
    for (QSqlQuery *q : {&last, &raised, &lastComm, &raisedComm})
        q->setForwardOnly(true);
    if (!last.prepare(lastSql.arg(Columns, QStringLiteral("= ?"), QString()))
        || !raised.prepare(lastSql.arg(Columns, QStringLiteral("= ?"), QStringLiteral("AND transition = 'raised'")))
        || !lastComm.prepare(lastSql.arg(Columns, QStringLiteral("IS NULL"), QString()))
        || !raisedComm.prepare(lastSql.arg(Columns, QStringLiteral("IS NULL"), QStringLiteral("AND transition = 'raised'"))))
        throw m_conn.error(op, last.lastError().isValid() ? last.lastError() : raisedComm.lastError());

    const auto first = [&](QSqlQuery &q, const AlarmKey &key, JournalEvent *row) {
        int i = 0;
        q.bindValue(i++, sourceToken(key.source));
        if (key.channel > 0)
            q.bindValue(i++, key.channel);
        q.bindValue(i, key.kind);
        if (!q.exec())
            throw m_conn.error(op, q.lastError());
        const bool found = q.next();
        db::LocalMsecs local;
        if (found)
            *row = readRow(q, local);
        q.finish();
        return found;
    };

    QList<Alarm> alarms;
    for (const AlarmKey &key : keys) {
        const bool station = key.channel <= 0;
        JournalEvent row;
        if (!first(station ? lastComm : last, key, &row) || row.state == AlarmState::Normal)
            continue;
        Alarm a;
        a.key = key;
        a.state = row.state;
        a.lastValue = row.value;
        a.name = row.name;
        a.raisedAt = row.time;
        if (first(station ? raisedComm : raised, key, &row)) {
            a.raisedAt = row.time;
            a.name = row.name;
            a.value = row.value;
            a.detail = row.detail;
        }
        alarms.append(a);
    }
    return alarms;
}

bool EventJournal::previousRunEnded() const
{
    const QString op = QStringLiteral("read the event journal");
    auto lastId = [&](const QString &kind) {
        qint64 id = 0;
        selectInto(QStringLiteral("SELECT %1 FROM events WHERE source = 'station' AND channel IS NULL AND kind = ? "
                                  "ORDER BY id DESC LIMIT 1")
                       .arg(Columns),
                   {kind},
                   [&id](const JournalEvent &e) {
                       id = e.id;
                       return false;
                   },
                   op);
        return id;
    };
    const qint64 started = lastId(station_kinds::ProgramStarted);
    return started == 0 || lastId(station_kinds::ProgramEnded) > started;
}

qint64 EventJournal::rowCount() const
{
    return m_conn.exec(QStringLiteral("SELECT count(*) FROM events"), QStringLiteral("count the events")).toLongLong();
}

qint64 EventJournal::lastId() const
{
    return m_conn.exec(QStringLiteral("SELECT max(id) FROM events"), QStringLiteral("read the event journal")).toLongLong();
}
