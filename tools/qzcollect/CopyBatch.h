#pragma once
// A batch of the collector: the messages taken from the broker between two commits, checked
// one by one and turned into COPY text rows of qz_record and qz_event, the stations' status
// rows, and the messages refused on the way (for qz_rejected). Each row keeps the message it
// came from, so a row PostgreSQL refuses later still reaches qz_rejected with its payload.
// No PostgreSQL and no socket here: the fuzz harnesses drive it as it is.

#include "SiteMessages.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

// Of a refused message's payload, qz_rejected keeps this much.
constexpr qsizetype RejectedPayloadBytes = 64 * 1024;
// A batch is sent to PostgreSQL at this size at the latest (COPY text, payloads and topics).
constexpr qsizetype MaxBatchBytes = qsizetype(64) << 20;

// Splits "qz/<station>/<leaf>"; false for anything else.
bool splitTopic(const QString &topic, QString *station, QString *leaf);

// A message as it came from the broker.
struct IncomingMessage {
    QString topic;
    QByteArray payload;
    int qos = 1;
    qint64 receivedMs = 0; // ms since the epoch
    QString refusal;       // set when the broker connection could not take it (too big, …)
    qint64 payloadSize = -1; // of the whole payload when only its beginning is held
};

struct MessageOrigin {
    QString topic;
    QByteArray payload;
    qint64 receivedMs = 0;
    qint64 payloadSize = -1; // of the whole payload when only its beginning is held
};

struct RejectedMessage {
    QString station; // as the topic names it, valid or not
    QString topic;
    QByteArray payload; // its first RejectedPayloadBytes
    QString error;
    qint64 receivedMs = 0;
};
// The rejected message of an origin, its payload cut to RejectedPayloadBytes (the error says so).
RejectedMessage rejectedMessage(const QString &station, const MessageOrigin &origin, const QString &error);

// COPY text rows of one table and the message each came from.
struct CopyRows {
    QByteArray text;
    QList<qsizetype> starts; // where row i begins in text
    QList<MessageOrigin> origins;

    int count() const { return int(starts.size()); }
    // Rows [from, to) as COPY text.
    QByteArrayView rows(int from, int to) const;
    void clear();
};

struct StationStatusRow {
    QString station;
    StatusMessage status;
    MessageOrigin origin;
};

struct Batch {
    CopyRows records; // of qz_record
    CopyRows events;  // of qz_event
    QList<StationStatusRow> statuses;
    QList<RejectedMessage> rejected;
    QHash<QString, int> seen; // station -> messages taken from it in this batch
    int messages = 0;         // every message taken, refused ones included
    qsizetype bytes = 0;      // held in memory, about

    bool isEmpty() const { return messages == 0; }
    bool isFull(int maxMessages) const { return messages >= maxMessages || bytes >= MaxBatchBytes; }
    void clear();

    enum class Taken { Record, Event, Status, Rejected };
    // Checks one message on its own and adds its row, or adds it to the refused ones with the
    // reason. Refused: what the broker connection could not take, a topic that is not
    // qz/<station>/status|record|event, a station name that is no name, a record or an
    // event sent with QoS 0 (it would never be acknowledged, so nothing holds it back), a
    // status naming another station than its topic, and anything the decoders refuse.
    Taken take(const IncomingMessage &message);

    void addRecord(const QString &station, const RecordMessage &r, const MessageOrigin &origin = {});
    // The same for a payload in the station's own compact form ({"datim":"…","values":[…]}
    // without blanks), taken straight to COPY text: numbers are checked and copied as they
    // came. False, with nothing added, for any other form (decode it instead).
    bool addRecordPayload(const QString &station, const QByteArray &payload, const MessageOrigin &origin = {});
    void addEvent(const QString &station, const EventMessage &e, const MessageOrigin &origin = {});
    void addStatus(const QString &station, const StatusMessage &s, const MessageOrigin &origin = {});
    void addRejected(const RejectedMessage &r);
};

// A text field for COPY's text format: backslash, tab, newline and carriage return escaped,
// NUL dropped (PostgreSQL text cannot hold it; the decoders refuse it before).
void appendCopyText(QByteArray &out, const QString &text);
// A bytea field for COPY's text format: \\x and hex digits.
void appendCopyBytea(QByteArray &out, const QByteArray &bytes);
// COPY text rows of qz_rejected (station, topic, payload, error, received_at).
QByteArray rejectedCopy(const QList<RejectedMessage> &rejected);

// Text from outside (topics, payload excerpts, the servers' messages) made fit for one log
// line: control characters and invalid UTF-8 as \xNN (the line separators U+2028/2029 as
// \uNNNN), at most maxChars characters (the rest said as "… (N more)"). Applied twice it
// changes nothing more.
QString logText(const QString &text, int maxChars = 300);
QString logBytes(const QByteArray &bytes, int maxChars = 300);
