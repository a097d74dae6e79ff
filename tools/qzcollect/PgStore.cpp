#include "PgStore.h"

#include <algorithm>
#include <libpq-fe.h>

namespace {

const char *const Schema = R"SQL(
CREATE TABLE IF NOT EXISTS qz_station (
  name          text PRIMARY KEY,
  last_seen     timestamptz NOT NULL,
  online        boolean,
  comm          text,
  version       text,
  status_time   timestamptz,
  channel_count integer,
  channels      jsonb
);
CREATE TABLE IF NOT EXISTS qz_record (
  station text NOT NULL,
  datim   timestamptz NOT NULL,
  %COLUMNS%,
  PRIMARY KEY (station, datim)
);
CREATE TABLE IF NOT EXISTS qz_event (
  station    text NOT NULL,
  id         bigint NOT NULL,
  time       timestamptz NOT NULL,
  source     text NOT NULL,
  channel    integer,
  name       text NOT NULL,
  kind       text NOT NULL,
  value      real,
  transition text NOT NULL,
  "user"     text NOT NULL DEFAULT '',
  detail     text NOT NULL DEFAULT '',
  PRIMARY KEY (station, id, time)
);
CREATE INDEX IF NOT EXISTS qz_event_time ON qz_event (time);
CREATE TABLE IF NOT EXISTS qz_rejected (
  id          bigserial PRIMARY KEY,
  station     text,
  topic       text NOT NULL,
  payload     bytea NOT NULL,
  error       text NOT NULL,
  received_at timestamptz NOT NULL DEFAULT now()
);
CREATE TEMP TABLE IF NOT EXISTS qz_in_record (LIKE qz_record) ON COMMIT DELETE ROWS;
CREATE TEMP TABLE IF NOT EXISTS qz_in_event (LIKE qz_event INCLUDING DEFAULTS) ON COMMIT DELETE ROWS;
)SQL";

const char *const StatusUpsert = R"SQL(
INSERT INTO qz_station AS s (name, last_seen, online, comm, version, status_time, channel_count, channels)
VALUES ($1, now(), $2::boolean, $3, $4, $5::timestamptz, $6::integer, $7::jsonb)
ON CONFLICT (name) DO UPDATE SET
  last_seen = now(), online = EXCLUDED.online,
  comm = COALESCE(EXCLUDED.comm, s.comm), version = COALESCE(EXCLUDED.version, s.version),
  status_time = COALESCE(EXCLUDED.status_time, s.status_time),
  channel_count = COALESCE(EXCLUDED.channel_count, s.channel_count),
  channels = COALESCE(EXCLUDED.channels, s.channels)
)SQL";

const char *const SeenUpsert =
    "INSERT INTO qz_station (name, last_seen) VALUES ($1, now()) "
    "ON CONFLICT (name) DO UPDATE SET last_seen = now()";

const char *const RejectedCopy = "COPY qz_rejected (station, topic, payload, error, received_at) FROM STDIN";

// COPY data goes to libpq in pieces of at most this size: PQputCopyData takes an int, and a
// size that does not fit (or comes out as zero or less) would be skipped with success.
constexpr qsizetype CopyChunkBytes = 1 << 20;

QString stationOf(const MessageOrigin &origin)
{
    QString station, leaf;
    return splitTopic(origin.topic, &station, &leaf) ? station : QString();
}

} // namespace

PgStore::PgStore(const QString &conninfo) : m_conninfo(conninfo.toUtf8()) {}

PgStore::~PgStore() { disconnect(); }

bool PgStore::isConnected() const { return m_conn && PQstatus(m_conn) == CONNECTION_OK; }

bool PgStore::isDataError(const QByteArray &sqlState) { return sqlState.startsWith("22") || sqlState.startsWith("23"); }

void PgStore::disconnect()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgStore::connect(QString *error)
{
    disconnect();
    // A server that does not answer must not hold the collector for long. The texts go in as
    // UTF-8 whatever the server's or the environment's encoding.
    const char *keys[] = {"dbname", "connect_timeout", "application_name", "client_encoding", nullptr};
    const char *values[] = {m_conninfo.constData(), "5", "qzcollect", "UTF8", nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        *error = QString::fromUtf8(PQerrorMessage(m_conn)).simplified(); // libpq's lines and tabs: one line
        disconnect();
        return false;
    }
    PQsetNoticeProcessor(m_conn, [](void *, const char *) {}, nullptr);
    QByteArray columns;
    for (int k = 1; k <= RecordValueCount; ++k)
        columns += (k > 1 ? ", aa" : "aa") + QByteArray::number(k) + " real";
    const QByteArray schema = QByteArray(Schema).replace("%COLUMNS%", columns);
    // Two collectors starting at once may race on CREATE TABLE IF NOT EXISTS; the lock keeps
    // them in turn.
    if (!exec("SELECT pg_advisory_lock(4242)") || !exec(schema.constData()) || !exec("SELECT pg_advisory_unlock(4242)")) {
        *error = m_error.text;
        disconnect();
        return false;
    }
    return true;
}

void PgStore::noteError(const pg_result *r)
{
    auto *res = const_cast<PGresult *>(r);
    m_error.sqlState = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    const QString primary = QString::fromUtf8(PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY));
    if (m_error.sqlState.isEmpty() || primary.isEmpty()) {
        m_error.text = QString::fromUtf8(PQresultErrorMessage(res)).simplified();
        if (m_error.text.isEmpty())
            m_error.text = QString::fromUtf8(PQerrorMessage(m_conn)).simplified();
    } else {
        m_error.text = QStringLiteral("SQLSTATE %1: %2").arg(QString::fromLatin1(m_error.sqlState), primary);
    }
}

void PgStore::noteConnectionError()
{
    m_error.sqlState.clear();
    m_error.text = QString::fromUtf8(PQerrorMessage(m_conn)).simplified();
}

bool PgStore::exec(const char *sql)
{
    PGresult *r = PQexec(m_conn, sql);
    const ExecStatusType st = PQresultStatus(r);
    const bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    if (!ok)
        noteError(r);
    PQclear(r);
    return ok;
}

bool PgStore::execParams(const char *sql, int count, const char *const *values)
{
    PGresult *r = PQexecParams(m_conn, sql, count, nullptr, values, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok)
        noteError(r);
    PQclear(r);
    return ok;
}

bool PgStore::copy(const char *sql, QByteArrayView data)
{
    PGresult *r = PQexec(m_conn, sql);
    if (PQresultStatus(r) != PGRES_COPY_IN) {
        noteError(r);
        PQclear(r);
        return false;
    }
    PQclear(r);
    static_assert(CopyChunkBytes <= 0x7fffffff);
    for (qsizetype at = 0; at < data.size(); at += CopyChunkBytes) {
        const int n = int(std::min(data.size() - at, CopyChunkBytes));
        if (PQputCopyData(m_conn, data.data() + at, n) != 1) {
            noteConnectionError();
            return false;
        }
    }
    if (PQputCopyEnd(m_conn, nullptr) != 1) {
        noteConnectionError();
        return false;
    }
    bool ok = true;
    while ((r = PQgetResult(m_conn)) != nullptr) {
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            if (ok)
                noteError(r);
            ok = false;
        }
        PQclear(r);
    }
    return ok;
}

PgStore::Step PgStore::stepOf() const { return isConnected() ? Step::Failed : Step::Lost; }

PgStore::Result PgStore::write(const Batch &batch, QList<RejectedMessage> *refused, Failure *failure)
{
    refused->clear();
    if (!isConnected()) {
        failure->sqlState.clear();
        failure->text = QStringLiteral("not connected");
        disconnect();
        return Result::ConnectionLost;
    }
    auto finish = [&](Step step) {
        if (step == Step::Ok)
            return Result::Committed;
        *failure = m_error;
        if (step == Step::Failed) {
            exec("ROLLBACK");
            if (isConnected())
                return Result::Failed;
        }
        disconnect();
        return Result::ConnectionLost;
    };
    Step step = writeAll(batch, false, refused);
    if (step != Step::Failed || !isDataError(m_error.sqlState))
        return finish(step);
    // PostgreSQL refused something as data: again, each row on its own.
    exec("ROLLBACK");
    if (!isConnected())
        return finish(Step::Lost);
    ++m_isolatedWrites;
    refused->clear();
    return finish(writeAll(batch, true, refused));
}

PgStore::Step PgStore::writeAll(const Batch &batch, bool isolate, QList<RejectedMessage> *refused)
{
    if (!exec("BEGIN"))
        return stepOf();
    const int records = batch.records.count();
    if (records > 0 && !isolate) {
        // Most batches hold no duplicate: COPY straight into the table. When one does (the
        // primary key refuses the COPY), the batch goes through the temporary table and
        // ON CONFLICT DO NOTHING instead.
        if (!exec("SAVEPOINT direct"))
            return stepOf();
        if (copy("COPY qz_record FROM STDIN", batch.records.rows(0, records))) {
            ++m_directCopies;
        } else if (m_error.sqlState == "23505") {
            if (!exec("ROLLBACK TO SAVEPOINT direct") || !copy("COPY qz_in_record FROM STDIN", batch.records.rows(0, records))
                || !exec("INSERT INTO qz_record SELECT * FROM qz_in_record ON CONFLICT DO NOTHING"))
                return stepOf();
            ++m_mergedCopies;
        } else {
            return stepOf();
        }
    } else if (records > 0) {
        const Step s = writeRows(batch.records, "qz_in_record", "qz_record", 0, records, refused);
        if (s != Step::Ok)
            return s;
    }
    const Step events = writeRows(batch.events, "qz_in_event", "qz_event", 0, batch.events.count(), isolate ? refused : nullptr);
    if (events != Step::Ok)
        return events;
    for (const StationStatusRow &row : batch.statuses) {
        const Step s = writeStatus(row, isolate, refused);
        if (s != Step::Ok)
            return s;
    }
    for (auto it = batch.seen.cbegin(); it != batch.seen.cend(); ++it) {
        const QByteArray name = it.key().toUtf8();
        const char *params[] = {name.constData()};
        if (!execParams(SeenUpsert, 1, params))
            return stepOf();
    }
    QList<RejectedMessage> rejected = batch.rejected;
    rejected += *refused;
    if (!rejected.isEmpty()) {
        const Step s = writeRejected(rejected, isolate);
        if (s != Step::Ok)
            return s;
        // Newest RejectedKeepRows kept: a flood of bad messages cannot fill the disk.
        const QByteArray prune = "DELETE FROM qz_rejected WHERE id <= (SELECT max(id) FROM qz_rejected) - "
            + QByteArray::number(RejectedKeepRows);
        if (!exec(prune.constData()))
            return stepOf();
    }
    if (!exec("COMMIT"))
        return stepOf();
    return Step::Ok;
}

// Rows [from, to) through the temporary table. With refused set, under a savepoint: when
// PostgreSQL refuses them as data the rows are halved until each refused row stands alone,
// and it is listed in *refused instead of written.
PgStore::Step PgStore::writeRows(const CopyRows &rows, const char *temp, const char *into, int from, int to,
                                 QList<RejectedMessage> *refused)
{
    if (from >= to)
        return Step::Ok;
    const QByteArray copySql = QByteArray("COPY ") + temp + " FROM STDIN";
    const QByteArray insertSql = QByteArray("INSERT INTO ") + into + " SELECT * FROM " + temp + " ON CONFLICT DO NOTHING";
    const QByteArray emptySql = QByteArray("DELETE FROM ") + temp;
    if (!refused) {
        if (!copy(copySql.constData(), rows.rows(from, to)) || !exec(insertSql.constData()) || !exec(emptySql.constData()))
            return stepOf();
        return Step::Ok;
    }
    if (!exec("SAVEPOINT part"))
        return stepOf();
    if (copy(copySql.constData(), rows.rows(from, to)) && exec(insertSql.constData()) && exec(emptySql.constData()))
        return exec("RELEASE SAVEPOINT part") ? Step::Ok : stepOf();
    const Failure error = m_error;
    if (!isConnected())
        return Step::Lost;
    if (!exec("ROLLBACK TO SAVEPOINT part") || !exec("RELEASE SAVEPOINT part"))
        return stepOf();
    m_error = error;
    if (!isDataError(error.sqlState))
        return Step::Failed;
    if (to - from == 1) {
        const MessageOrigin &origin = rows.origins[from];
        refused->append(rejectedMessage(stationOf(origin), origin, QStringLiteral("PostgreSQL refused the row: %1").arg(error.text)));
        return Step::Ok;
    }
    const int mid = from + (to - from) / 2;
    const Step first = writeRows(rows, temp, into, from, mid, refused);
    return first != Step::Ok ? first : writeRows(rows, temp, into, mid, to, refused);
}

PgStore::Step PgStore::writeStatus(const StationStatusRow &row, bool isolate, QList<RejectedMessage> *refused)
{
    const StatusMessage &s = row.status;
    const QByteArray name = row.station.toUtf8();
    const QByteArray online = s.online ? "true" : "false";
    const QByteArray comm = s.comm ? s.comm->toUtf8() : QByteArray();
    const QByteArray version = s.version ? s.version->toUtf8() : QByteArray();
    const QByteArray time = s.time ? s.time->toUtf8() : QByteArray();
    const QByteArray count = s.channelCount ? QByteArray::number(*s.channelCount) : QByteArray();
    const QByteArray channels = s.channels ? *s.channels : QByteArray();
    const char *params[] = {name.constData(),
                            online.constData(),
                            s.comm ? comm.constData() : nullptr,
                            s.version ? version.constData() : nullptr,
                            s.time ? time.constData() : nullptr,
                            s.channelCount ? count.constData() : nullptr,
                            s.channels ? channels.constData() : nullptr};
    if (!isolate)
        return execParams(StatusUpsert, 7, params) ? Step::Ok : stepOf();
    // Each status on its own: one PostgreSQL refuses costs no other station its status (a
    // dead station's last will among them).
    if (!exec("SAVEPOINT status"))
        return stepOf();
    if (execParams(StatusUpsert, 7, params))
        return exec("RELEASE SAVEPOINT status") ? Step::Ok : stepOf();
    const Failure error = m_error;
    if (!isConnected())
        return Step::Lost;
    if (!exec("ROLLBACK TO SAVEPOINT status") || !exec("RELEASE SAVEPOINT status"))
        return stepOf();
    m_error = error;
    if (!isDataError(error.sqlState))
        return Step::Failed;
    refused->append(rejectedMessage(row.station, row.origin, QStringLiteral("PostgreSQL refused the status: %1").arg(error.text)));
    return Step::Ok;
}

PgStore::Step PgStore::writeRejected(const QList<RejectedMessage> &rows, bool isolate)
{
    if (!isolate)
        return copy(RejectedCopy, rejectedCopy(rows)) ? Step::Ok : stepOf();
    for (const RejectedMessage &r : rows) {
        // Station and topic are texts from outside; should PostgreSQL refuse them, the payload
        // and the reason are kept without them.
        RejectedMessage bare = r;
        bare.station.clear();
        bare.topic = QStringLiteral("(refused)");
        for (const RejectedMessage &form : {r, bare}) {
            if (!exec("SAVEPOINT rejected"))
                return stepOf();
            if (copy(RejectedCopy, rejectedCopy({form}))) {
                if (!exec("RELEASE SAVEPOINT rejected"))
                    return stepOf();
                break;
            }
            const Failure error = m_error;
            if (!isConnected())
                return Step::Lost;
            if (!exec("ROLLBACK TO SAVEPOINT rejected") || !exec("RELEASE SAVEPOINT rejected"))
                return stepOf();
            m_error = error;
            if (!isDataError(error.sqlState))
                return Step::Failed;
        }
    }
    return Step::Ok;
}
