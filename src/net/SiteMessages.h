#pragma once
// What the station and the collector agree on about the site network's messages: the station
// name rule, times with their offset, and the decoders the collector checks every message
// with. Plain Qt Core: the collector links this and nothing of the station.
//
// A decoder takes a message or refuses it with a reason; it never passes on what PostgreSQL
// would refuse (an impossible date, a NUL in a text, an id no double holds), so one bad
// message cannot spoil the others written with it. A number the station could not have sent
// (infinite, beyond the range of a `real`) is read as null, as a value the station does not
// have.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <optional>

// Values of a record message: channels 1 … 32.
constexpr int RecordValueCount = 32;
// A station name is one topic level qz/<station>/ and the key of its rows: at most this many
// bytes of UTF-8.
constexpr int MaxStationNameBytes = 64;
// Event ids travel as JSON numbers (doubles): integers above 2^53 cannot be told apart.
constexpr qint64 MaxEventId = qint64(1) << 53;

// Letters (CJK included), digits, '-', '_' and '.'.
bool isStationNameChar(char32_t c);
// Not empty, at most MaxStationNameBytes of UTF-8, of those characters only.
bool isStationName(const QString &name);

// "yyyy-MM-ddTHH:mm:ss.zzz±HH:MM" of a date-time in local time; empty for an invalid one.
QString isoWithOffset(const QDateTime &time);
// True when the text is "yyyy-MM-ddTHH:mm:ss[.f…]" followed by "Z" or "±HH:MM" and names a
// real moment: a date of the calendar (no 2026-02-31, no year 0000), seconds 0 … 59, an
// offset of at most 14 hours (what QDateTime accepts as an offset).
bool isIsoWithOffset(const QString &text);
bool isIsoWithOffset(const char *text, qsizetype size);

struct RecordMessage {
    QString datim; // ISO 8601 with offset, checked
    std::array<std::optional<float>, RecordValueCount> values;
};
struct EventMessage {
    qint64 id = 0; // 1 … 2^53
    QString time;  // ISO 8601 with offset, checked
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
    std::optional<QString> station; // as the payload names it (the topic is what counts)
    std::optional<QString> comm;
    std::optional<QString> version;
    std::optional<QString> time;
    std::optional<int> channelCount;    // 0 … 32
    std::optional<QByteArray> channels; // the "channels" array as compact JSON
};

// Each gives false and a reason for a payload that is not the message it should be.
bool decodeRecord(const QByteArray &payload, RecordMessage *out, QString *error);
bool decodeEvent(const QByteArray &payload, EventMessage *out, QString *error);
bool decodeStatus(const QByteArray &payload, StatusMessage *out, QString *error);

// A JSON number as a stored `real`: null when it is not finite or does not round to a finite
// float.
std::optional<float> realValue(double v);
