#pragma once
// The collector's PostgreSQL side (libpq): the schema, created when missing, and one
// transaction per batch. Rows go through COPY into temporary tables and from there into the
// real tables with ON CONFLICT DO NOTHING, so duplicates (a station sends again after a
// reconnect, the broker delivers again after a collector restart) are absorbed.
//
//   qz_station (name PK, last_seen, online, comm, version, status_time, channel_count, channels jsonb)
//   qz_record  (station, datim timestamptz, aa1 … aa32 real; PK (station, datim))
//   qz_event   (station, id, time timestamptz, source, channel, name, kind, value real,
//               transition, "user", detail; PK (station, id, time))

#include "SitePayload.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

struct pg_conn;

struct StationStatusRow {
    QString station;
    StatusMessage status;
};

struct Batch {
    QByteArray recordCopy; // COPY text rows of qz_record
    QByteArray eventCopy;  // COPY text rows of qz_event
    QList<StationStatusRow> statuses;
    QHash<QString, int> seen; // station -> messages in this batch
    int records = 0;
    int events = 0;
    int messages = 0;

    bool isEmpty() const { return messages == 0; }
    void clear();
    void addRecord(const QString &station, const RecordMessage &r);
    // The same for a payload in the station's own compact form ({"datim":"…","values":[…]}
    // without blanks), taken straight to COPY text: numbers are checked and copied as they
    // came. False, with nothing added, for any other form (decode it instead).
    bool addRecordPayload(const QString &station, const QByteArray &payload);
    void addEvent(const QString &station, const EventMessage &e);
    void addStatus(const QString &station, const StatusMessage &s);
};

// A text field for COPY's text format: backslash, tab, newline and carriage return escaped,
// NUL dropped (PostgreSQL text cannot hold it).
void appendCopyText(QByteArray &out, const QString &text);

class PgStore {
public:
    explicit PgStore(const QString &conninfo);
    ~PgStore();
    PgStore(const PgStore &) = delete;
    PgStore &operator=(const PgStore &) = delete;

    bool isConnected() const;
    // Connects and creates the schema when missing; false with the reason.
    bool connect(QString *error);
    void disconnect();

    enum class Result { Committed, ConnectionLost, Rejected };
    // Writes the batch in one transaction. ConnectionLost: nothing was committed and the
    // connection is gone (try again later). Rejected: the server refused the data; nothing
    // was committed and the connection is usable.
    Result write(const Batch &batch, QString *error);

    // Batches of records copied straight in, and those that held duplicates.
    qint64 directCopies() const { return m_directCopies; }
    qint64 mergedCopies() const { return m_mergedCopies; }

private:
    bool exec(const char *sql, QString *error);
    bool copy(const char *sql, const QByteArray &data, QString *error, QByteArray *sqlState = nullptr);
    Result failure(QString *error);

    QByteArray m_conninfo;
    pg_conn *m_conn = nullptr;
    qint64 m_directCopies = 0;
    qint64 m_mergedCopies = 0;
};
