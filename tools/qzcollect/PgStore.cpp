#include "PgStore.h"

#include <charconv>
#include <cmath>
#include <cstring>
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

void appendFloat(QByteArray &out, const std::optional<float> &v)
{
    if (!v || !std::isfinite(*v)) {
        out.append("\\N");
        return;
    }
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, *v);
    out.append(buf, res.ptr - buf);
}

} // namespace

void appendCopyText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        switch (c) {
        case '\\': out.append("\\\\"); break;
        case '\t': out.append("\\t"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\0': break;
        default: out.append(c);
        }
    }
}

void Batch::clear()
{
    recordCopy.clear();
    eventCopy.clear();
    statuses.clear();
    seen.clear();
    records = events = messages = 0;
}

void Batch::addRecord(const QString &station, const RecordMessage &r)
{
    appendCopyText(recordCopy, station);
    recordCopy.append('\t');
    recordCopy.append(r.datim.toLatin1());
    for (const auto &v : r.values) {
        recordCopy.append('\t');
        appendFloat(recordCopy, v);
    }
    recordCopy.append('\n');
    ++records;
}

bool Batch::addRecordPayload(const QString &station, const QByteArray &payload)
{
    static constexpr char head[] = "{\"datim\":\"";
    static constexpr char middle[] = "\",\"values\":[";
    const char *p = payload.constData();
    const char *end = p + payload.size();
    if (payload.size() < qsizetype(sizeof head) || std::memcmp(p, head, sizeof head - 1) != 0)
        return false;
    p += sizeof head - 1;
    const char *datim = p;
    while (p < end && *p != '"')
        ++p;
    if (p == end || !isIsoWithOffset(QString::fromLatin1(datim, p - datim)))
        return false;
    const char *datimEnd = p;
    if (end - p < qsizetype(sizeof middle - 1) || std::memcmp(p, middle, sizeof middle - 1) != 0)
        return false;
    p += sizeof middle - 1;
    // The values, checked before anything is appended.
    std::array<std::pair<const char *, const char *>, MaxChannels> values{};
    int count = 0;
    if (p < end && *p == ']') {
        ++p;
    } else {
        for (;;) {
            const char *start = p;
            while (p < end && *p != ',' && *p != ']')
                ++p;
            if (p == end || count == MaxChannels)
                return false;
            if (p - start == 4 && std::memcmp(start, "null", 4) == 0) {
                values[count++] = {nullptr, nullptr};
            } else {
                float v;
                const auto res = std::from_chars(start, p, v);
                if (res.ec != std::errc() || res.ptr != p || !std::isfinite(v) || *start == '+' || p == start)
                    return false;
                values[count++] = {start, p};
            }
            if (*p++ == ']')
                break;
        }
    }
    if (end - p != 1 || *p != '}')
        return false;
    appendCopyText(recordCopy, station);
    recordCopy.append('\t');
    recordCopy.append(datim, datimEnd - datim);
    for (int i = 0; i < MaxChannels; ++i) {
        recordCopy.append('\t');
        if (i < count && values[i].first)
            recordCopy.append(values[i].first, values[i].second - values[i].first);
        else
            recordCopy.append("\\N");
    }
    recordCopy.append('\n');
    ++records;
    return true;
}

void Batch::addEvent(const QString &station, const EventMessage &e)
{
    QByteArray &o = eventCopy;
    appendCopyText(o, station);
    o.append('\t').append(QByteArray::number(e.id)).append('\t').append(e.time.toLatin1()).append('\t');
    appendCopyText(o, e.source);
    o.append('\t');
    if (e.channel)
        o.append(QByteArray::number(*e.channel));
    else
        o.append("\\N");
    o.append('\t');
    appendCopyText(o, e.name);
    o.append('\t');
    appendCopyText(o, e.kind);
    o.append('\t');
    appendFloat(o, e.value);
    o.append('\t');
    appendCopyText(o, e.transition);
    o.append('\t');
    appendCopyText(o, e.user);
    o.append('\t');
    appendCopyText(o, e.detail);
    o.append('\n');
    ++events;
}

void Batch::addStatus(const QString &station, const StatusMessage &s) { statuses.append({station, s}); }

PgStore::PgStore(const QString &conninfo) : m_conninfo(conninfo.toUtf8()) {}

PgStore::~PgStore() { disconnect(); }

bool PgStore::isConnected() const { return m_conn && PQstatus(m_conn) == CONNECTION_OK; }

void PgStore::disconnect()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgStore::connect(QString *error)
{
    disconnect();
    // A server that does not answer must not hold the collector for long.
    const char *keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
    const char *values[] = {m_conninfo.constData(), "5", "qzcollect", nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        *error = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
        disconnect();
        return false;
    }
    PQsetNoticeProcessor(m_conn, [](void *, const char *) {}, nullptr);
    QByteArray columns;
    for (int k = 1; k <= MaxChannels; ++k)
        columns += (k > 1 ? ", aa" : "aa") + QByteArray::number(k) + " real";
    const QByteArray schema = QByteArray(Schema).replace("%COLUMNS%", columns);
    // Two collectors starting at once may race on CREATE TABLE IF NOT EXISTS; the lock keeps
    // them in turn.
    if (!exec("SELECT pg_advisory_lock(4242)", error) || !exec(schema.constData(), error)
        || !exec("SELECT pg_advisory_unlock(4242)", error)) {
        disconnect();
        return false;
    }
    return true;
}

bool PgStore::exec(const char *sql, QString *error)
{
    PGresult *r = PQexec(m_conn, sql);
    const ExecStatusType st = PQresultStatus(r);
    const bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    if (!ok)
        *error = QString::fromUtf8(PQresultErrorMessage(r)).trimmed();
    PQclear(r);
    return ok;
}

bool PgStore::copy(const char *sql, const QByteArray &data, QString *error, QByteArray *sqlState)
{
    PGresult *r = PQexec(m_conn, sql);
    if (PQresultStatus(r) != PGRES_COPY_IN) {
        *error = QString::fromUtf8(PQresultErrorMessage(r)).trimmed();
        PQclear(r);
        return false;
    }
    PQclear(r);
    if (PQputCopyData(m_conn, data.constData(), int(data.size())) != 1 || PQputCopyEnd(m_conn, nullptr) != 1) {
        *error = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
        return false;
    }
    bool ok = true;
    while ((r = PQgetResult(m_conn)) != nullptr) {
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            ok = false;
            *error = QString::fromUtf8(PQresultErrorMessage(r)).trimmed();
            if (sqlState)
                *sqlState = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        }
        PQclear(r);
    }
    return ok;
}

PgStore::Result PgStore::failure(QString *error)
{
    if (!isConnected()) {
        disconnect();
        return Result::ConnectionLost;
    }
    QString ignored;
    exec("ROLLBACK", &ignored);
    if (!isConnected()) {
        disconnect();
        return Result::ConnectionLost;
    }
    Q_UNUSED(error);
    return Result::Rejected;
}

PgStore::Result PgStore::write(const Batch &batch, QString *error)
{
    if (!isConnected()) {
        *error = QStringLiteral("not connected");
        disconnect();
        return Result::ConnectionLost;
    }
    if (!exec("BEGIN", error))
        return failure(error);
    if (batch.records > 0) {
        // Most batches hold no duplicate: COPY straight into the table. When one does (the
        // primary key refuses the COPY), the batch goes through the temporary table and
        // ON CONFLICT DO NOTHING instead.
        QByteArray state;
        if (!exec("SAVEPOINT direct", error))
            return failure(error);
        if (copy("COPY qz_record FROM STDIN", batch.recordCopy, error, &state)) {
            ++m_directCopies;
        } else if (state == "23505") {
            if (!exec("ROLLBACK TO SAVEPOINT direct", error)
                || !copy("COPY qz_in_record FROM STDIN", batch.recordCopy, error)
                || !exec("INSERT INTO qz_record SELECT * FROM qz_in_record ON CONFLICT DO NOTHING", error))
                return failure(error);
            ++m_mergedCopies;
        } else {
            return failure(error);
        }
    }
    if (batch.events > 0
        && (!copy("COPY qz_in_event FROM STDIN", batch.eventCopy, error)
            || !exec("INSERT INTO qz_event SELECT * FROM qz_in_event ON CONFLICT DO NOTHING", error)))
        return failure(error);
    for (const StationStatusRow &row : batch.statuses) {
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
        PGresult *r = PQexecParams(m_conn, StatusUpsert, 7, nullptr, params, nullptr, nullptr, 0);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok)
            *error = QString::fromUtf8(PQresultErrorMessage(r)).trimmed();
        PQclear(r);
        if (!ok)
            return failure(error);
    }
    for (auto it = batch.seen.cbegin(); it != batch.seen.cend(); ++it) {
        const QByteArray name = it.key().toUtf8();
        const char *params[] = {name.constData()};
        PGresult *r = PQexecParams(m_conn, SeenUpsert, 1, nullptr, params, nullptr, nullptr, 0);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok)
            *error = QString::fromUtf8(PQresultErrorMessage(r)).trimmed();
        PQclear(r);
        if (!ok)
            return failure(error);
    }
    if (!exec("COMMIT", error))
        return failure(error);
    return Result::Committed;
}
