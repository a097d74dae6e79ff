#pragma once
// The collector's PostgreSQL side (libpq): the schema, created when missing, and one
// transaction per batch. Rows go through COPY into temporary tables and from there into the
// real tables with ON CONFLICT DO NOTHING, so duplicates (a station sends again after a
// reconnect, the broker delivers again after a collector restart) are absorbed.
//
//   qz_station  (name PK, last_seen, online, comm, version, status_time, channel_count, channels jsonb)
//   qz_record   (station, datim timestamptz, aa1 … aa32 real; PK (station, datim))
//   qz_event    (station, id, time timestamptz, source, channel, name, kind, value real,
//                transition, "user", detail; PK (station, id, time))
//   qz_rejected (id bigserial PK, station, topic, payload bytea, error, received_at)
//
// Only a data error (SQLSTATE class 22 or 23) refuses a row: the batch is then written again
// with each row on its own (halving the rows until the refused ones are found), and a
// refused row goes to qz_rejected with its message and PostgreSQL's reason. Every other
// error (a read-only standby after a failover, a full disk, a lock or statement time-out, a
// deadlock, a missing permission) says nothing about the rows: the write fails as a whole
// and the caller tries the same batch again later.

#include "CopyBatch.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct pg_conn;

// qz_rejected keeps the newest this many messages; older ones are pruned as new ones come.
constexpr qint64 RejectedKeepRows = 10000;

class PgStore {
public:
    explicit PgStore(const QString &conninfo);
    ~PgStore();
    PgStore(const PgStore &) = delete;
    PgStore &operator=(const PgStore &) = delete;

    bool isConnected() const;
    // Connects (client encoding UTF-8) and creates the schema when missing; false with the
    // reason.
    bool connect(QString *error);
    void disconnect();

    struct Failure {
        QByteArray sqlState; // empty when the connection went
        QString text;        // "SQLSTATE 42501: permission denied for table qz_record"
    };
    enum class Result {
        Committed,      // in; rows refused as data are in qz_rejected and listed in *refused
        Failed,         // nothing committed, the connection usable: try the batch again later
        ConnectionLost, // nothing committed (or not known), the connection gone
    };
    Result write(const Batch &batch, QList<RejectedMessage> *refused, Failure *failure);

    static bool isDataError(const QByteArray &sqlState);

    // Batches of records copied straight in, those that held duplicates, and those written
    // row by row because PostgreSQL refused something in them.
    qint64 directCopies() const { return m_directCopies; }
    qint64 mergedCopies() const { return m_mergedCopies; }
    qint64 isolatedWrites() const { return m_isolatedWrites; }

private:
    enum class Step { Ok, Failed, Lost };
    bool exec(const char *sql);
    bool execParams(const char *sql, int count, const char *const *values);
    bool copy(const char *sql, QByteArrayView data);
    void noteError(const struct pg_result *r);
    void noteConnectionError();
    Step stepOf() const;
    Step writeAll(const Batch &batch, bool isolate, QList<RejectedMessage> *refused);
    Step writeRows(const CopyRows &rows, const char *temp, const char *into, int from, int to,
                   QList<RejectedMessage> *refused);
    Step writeStatus(const StationStatusRow &row, bool isolate, QList<RejectedMessage> *refused);
    Step writeRejected(const QList<RejectedMessage> &rows, bool isolate);

    QByteArray m_conninfo;
    pg_conn *m_conn = nullptr;
    Failure m_error; // of the last failed statement
    qint64 m_directCopies = 0;
    qint64 m_mergedCopies = 0;
    qint64 m_isolatedWrites = 0;
};
