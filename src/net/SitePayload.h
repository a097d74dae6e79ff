#pragma once
// The messages of the site network, UTF-8 JSON under qz/<station>/, times as ISO 8601 with
// the local offset ("2026-03-01T08:00:01.500+08:00"). The station encodes them; the collector
// decodes them. A value the station does not have (an interrupted channel, a channel beyond
// the channel count, a damaged stored text) travels as null.
//
//   status  {"station","online","comm":"OK"|"ERROR"|"NONE","version","time","channelCount",
//            "channels":[{"channel","name","unit","lower","upper"}…]}      retained; the last
//           will carries only {"station","online":false}
//   live    {"time","values":[…],"states":[…]}                          channels 1 … count
//   record  {"datim","values":[32 entries]}                              one wwdd record
//   event   {"id","time","source","channel","name","kind","value","transition","user","detail"}

#include "SharedState.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <optional>

enum class StationComm { None, Ok, Error };
QString commStateText(StationComm state); // "NONE", "OK", "ERROR"

// "yyyy-MM-ddTHH:mm:ss.zzz±HH:MM" of a date-time in local time.
QString isoWithOffset(const QDateTime &time);
// The same for a stored local-time text (wwdd's datim, the journal's time); empty when the
// text names no valid local time.
QString isoWithOffset(const QString &storedLocalText);

using ChannelValues = std::array<std::optional<double>, MaxChannels>;

// A stored value as it travels: the "%8.3F" text read as a number; the interruption marker,
// an empty or NULL field and text that is no number give no value.
std::optional<double> storedValue(const QString &text, bool isNull);

// One wwdd record as the publisher reads it.
struct HistoryRow {
    qint64 rowid = 0;
    QString datim; // as stored (local time)
    ChannelValues values;
};

// One row of the event journal (Data/events.db).
struct JournalRow {
    qint64 id = 0;
    QString time; // as stored (local time)
    QString source;
    std::optional<int> channel;
    QString name;
    QString kind;
    std::optional<double> value;
    QString transition;
    QString user;
    QString detail;
};

// storing: records are being kept (the storage tick runs and its last record was stored).
QByteArray encodeStatus(const QString &station, bool online, StationComm comm, const QString &version,
                        const QDateTime &time, const TOption &option, int channelCount, bool storing);
QByteArray encodeWill(const QString &station);
QByteArray encodeLive(const QDateTime &time, const TAllRecord &record, int channelCount);
// Empty when the record's datim is not a valid local time (such a record cannot be keyed).
QByteArray encodeRecord(const HistoryRow &row);
// Empty when the event's time is not a valid local time.
QByteArray encodeEvent(const JournalRow &event);

// --- decoding, for the collector -------------------------------------------------------------

struct RecordMessage {
    QString datim; // ISO 8601 with offset, checked
    std::array<std::optional<float>, MaxChannels> values;
};
struct EventMessage {
    qint64 id = 0;
    QString time; // ISO 8601 with offset, checked
    QString source;
    std::optional<int> channel;
    QString name;
    QString kind;
    std::optional<float> value;
    QString transition;
    QString user;
    QString detail;
};
struct StatusMessage {
    bool online = false;
    std::optional<QString> comm;
    std::optional<QString> version;
    std::optional<QString> time;
    std::optional<int> channelCount;
    std::optional<QByteArray> channels; // the "channels" array as compact JSON
};

// Each gives false and a reason for a payload that is not the message it should be.
bool decodeRecord(const QByteArray &payload, RecordMessage *out, QString *error);
bool decodeEvent(const QByteArray &payload, EventMessage *out, QString *error);
bool decodeStatus(const QByteArray &payload, StatusMessage *out, QString *error);
// True when the text is "yyyy-MM-ddTHH:mm:ss[.zzz]" followed by "Z" or "±HH:MM".
bool isIsoWithOffset(const QString &text);
