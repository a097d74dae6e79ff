// Fuzz harness: the collector's message checks and payload decoders (what any client of the
// broker may publish under qz/).
//
// Input: [kind] [station length, 2 bytes] [station, UTF-8] then the payload:
//   kind bits 0-1  the topic's leaf: record, event, status, live (not ours)
//   kind bit 2     sent with QoS 0
//   kind bit 3     the broker connection refused it already (as for a packet too large)
// The message goes through Batch::take as the collector takes it; the three decoders and the
// record's quick path also run on the payload directly.
//
// Checked beyond "no crash":
// - take() adds exactly one thing: a row of the leaf's table, a status, or a refused message
//   with a reason (kept with at most RejectedPayloadBytes of its payload); refused are a bad
//   station name, QoS 0 on record and event, whatever the decoders refuse, and what was
//   refused before;
// - what a decoder accepts is what PostgreSQL takes: times are real with an offset (a valid
//   QDateTime), no text holds a NUL, numbers are finite within a real, ids 1 … 2^53, a
//   channel count 0 … 32, the channels array is JSON without "\u0000";
// - the record's quick path (payload straight to COPY text) accepts only what the decoder
//   accepts, with the same time and the same values (within a float's rounding).

#include "CopyBatch.h"
#include "FuzzSupport.h"
#include "SiteMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cfloat>
#include <charconv>
#include <cmath>

namespace {

void checkTime(const QString &text)
{
    FUZZ_REQUIRE(isIsoWithOffset(text), "time accepted but not checked: %s", qPrintable(text));
    // Qt's parser reads up to milliseconds; the fraction beyond is ours alone.
    QString head = text;
    const qsizetype dot = text.indexOf(u'.');
    if (dot > 0) {
        qsizetype end = dot + 1;
        while (end < text.size() && text[end].isDigit())
            ++end;
        head = text.left(std::min(dot + 4, end)) + text.mid(end);
    }
    const QDateTime t = QDateTime::fromString(head, Qt::ISODateWithMs);
    FUZZ_REQUIRE(t.isValid() && (t.timeSpec() == Qt::OffsetFromUTC || t.timeSpec() == Qt::UTC),
                 "time accepted that Qt finds no moment with an offset: %s", qPrintable(text));
}

bool hasNulOrInfinity(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString().contains(QChar(u'\0'));
    case QJsonValue::Double:
        return !std::isfinite(v.toDouble());
    case QJsonValue::Array:
        for (const QJsonValue &item : v.toArray())
            if (hasNulOrInfinity(item))
                return true;
        return false;
    case QJsonValue::Object: {
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            if (it.key().contains(QChar(u'\0')) || hasNulOrInfinity(it.value()))
                return true;
        return false;
    }
    default:
        return false;
    }
}

void checkText(const QString &text, const char *what)
{
    FUZZ_REQUIRE(!text.contains(QChar(u'\0')), "a NUL in %s", what);
}

void checkValue(const std::optional<float> &v)
{
    if (v)
        FUZZ_REQUIRE(std::isfinite(*v) && std::fabs(*v) <= FLT_MAX, "value %g", double(*v));
}

// The record rows the quick path wrote, field by field.
QList<QByteArray> fieldsOfLastRow(const CopyRows &rows)
{
    return rows.rows(rows.count() - 1, rows.count()).toByteArray().chopped(1).split('\t');
}

void checkQuickPath(const QByteArray &payload)
{
    Batch quick;
    RecordMessage r;
    QString error;
    const bool decoded = decodeRecord(payload, &r, &error);
    if (!quick.addRecordPayload(QStringLiteral("s"), payload))
        return;
    FUZZ_REQUIRE(decoded, "the quick path took a record the decoder refuses: %s", qPrintable(error));
    const QList<QByteArray> fields = fieldsOfLastRow(quick.records);
    FUZZ_REQUIRE(fields.size() == 2 + RecordValueCount, "%lld fields", qlonglong(fields.size()));
    FUZZ_REQUIRE(QString::fromLatin1(fields[1]) == r.datim, "datim %s against %s", fields[1].constData(), qPrintable(r.datim));
    for (int i = 0; i < RecordValueCount; ++i) {
        const QByteArray &f = fields[2 + i];
        if (f == "\\N") {
            FUZZ_REQUIRE(!r.values[i], "value %d null on the quick path only", i + 1);
            continue;
        }
        float quickValue = 0;
        const auto res = std::from_chars(f.constData(), f.constData() + f.size(), quickValue);
        FUZZ_REQUIRE(res.ec == std::errc() && res.ptr == f.constData() + f.size(), "value text %s", f.constData());
        FUZZ_REQUIRE(r.values[i], "value %d null in the decoder only", i + 1);
        // The decoder rounds through a double: at most one step of a float apart.
        const float d = *r.values[i];
        FUZZ_REQUIRE(quickValue == d || std::nextafter(quickValue, d) == d, "value %d: %.9g against %.9g", i + 1,
                     double(quickValue), double(d));
    }
}

} // namespace

int fuzzSitePayloads(const uint8_t *data, size_t size)
{
    fuzz::Cursor in(data, size);
    const uint8_t kind = in.byte();
    const size_t stationLength = in.u16();
    size_t got = 0;
    const char *stationBytes = in.take(stationLength, &got);
    const QString station = QString::fromUtf8(stationBytes, qsizetype(got));
    const char *rest = in.take(in.left(), &got);
    const QByteArray payload(rest, qsizetype(got));
    static const char *const leaves[] = {"record", "event", "status", "live"};
    const QString leaf = QString::fromLatin1(leaves[kind & 3]);

    IncomingMessage m;
    m.topic = QStringLiteral("qz/") + station + u'/' + leaf;
    m.payload = payload;
    m.qos = (kind & 4) ? 0 : 1;
    m.receivedMs = 1767225600000LL;
    if (kind & 8)
        m.refusal = QStringLiteral("refused by the connection");

    Batch b;
    const Batch::Taken taken = b.take(m);
    FUZZ_REQUIRE(b.messages == 1, "%d messages", b.messages);
    const int added = b.records.count() + b.events.count() + int(b.statuses.size()) + int(b.rejected.size());
    FUZZ_REQUIRE(added == 1, "one message gave %d entries", added);
    QString splitStation, splitLeaf;
    const bool ours = splitTopic(m.topic, &splitStation, &splitLeaf);
    if (taken == Batch::Taken::Rejected) {
        const RejectedMessage &r = b.rejected.first();
        FUZZ_REQUIRE(!r.error.isEmpty(), "refused without a reason");
        FUZZ_REQUIRE(r.payload == payload.left(RejectedPayloadBytes), "refused payload not kept");
        FUZZ_REQUIRE(b.seen.isEmpty(), "a refused message counted as seen");
        const QByteArray copy = rejectedCopy(b.rejected);
        FUZZ_REQUIRE(copy.count('\n') == 1 && copy.endsWith('\n'), "dead letter not one COPY row");
    } else {
        FUZZ_REQUIRE(ours && isStationName(splitStation), "a message of station %s taken", qPrintable(station.left(80)));
        FUZZ_REQUIRE(m.refusal.isEmpty(), "a message refused before was taken");
        FUZZ_REQUIRE(leaf == QStringLiteral("status") || m.qos == 1, "QoS 0 %s taken", qPrintable(leaf));
        FUZZ_REQUIRE(b.seen.value(splitStation) == 1, "taken but not seen");
        FUZZ_REQUIRE(taken != Batch::Taken::Record || b.records.count() == 1, "record not added");
        FUZZ_REQUIRE(taken != Batch::Taken::Event || b.events.count() == 1, "event not added");
        FUZZ_REQUIRE(taken != Batch::Taken::Status || b.statuses.size() == 1, "status not added");
    }

    // The decoders on the payload itself.
    QString error;
    RecordMessage r;
    if (decodeRecord(payload, &r, &error)) {
        checkTime(r.datim);
        for (const auto &v : r.values)
            checkValue(v);
    } else {
        FUZZ_REQUIRE(!error.isEmpty(), "record refused without a reason");
    }
    checkQuickPath(payload);
    EventMessage e;
    if (decodeEvent(payload, &e, &error)) {
        checkTime(e.time);
        FUZZ_REQUIRE(e.id >= 1 && e.id <= MaxEventId, "id %lld", qlonglong(e.id));
        for (const QString *t : {&e.source, &e.name, &e.kind, &e.transition, &e.user, &e.detail})
            checkText(*t, "an event text");
        checkValue(e.value);
    }
    StatusMessage s;
    if (decodeStatus(payload, &s, &error)) {
        if (s.time)
            checkTime(*s.time);
        for (const std::optional<QString> *t : {&s.station, &s.comm, &s.version})
            if (*t)
                checkText(**t, "a status text");
        FUZZ_REQUIRE(!s.channelCount || (*s.channelCount >= 0 && *s.channelCount <= RecordValueCount), "channel count %d",
                     *s.channelCount);
        if (s.channels) {
            QJsonParseError pe;
            const QJsonDocument doc = QJsonDocument::fromJson(*s.channels, &pe);
            FUZZ_REQUIRE(pe.error == QJsonParseError::NoError && doc.isArray(), "channels not a JSON array");
            FUZZ_REQUIRE(!hasNulOrInfinity(doc.array()), "a NUL or an infinite number left in channels");
        }
    }
    return 0;
}

QZ_FUZZ_TARGET(fuzzSitePayloads)
