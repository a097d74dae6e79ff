// Fuzz harness: a batch turned into PostgreSQL COPY text, and the collector's log lines.
//
// Input: operations until the input ends, each [op] and its fields:
//   op % 4 == 0  a record: station, datim, then 32 × [present] [4 bytes of a float]
//   op % 4 == 1  an event: station, id (8 bytes), time, source, [present] channel (4 bytes),
//                name, kind, [present] value (float), transition, user, detail
//   op % 4 == 2  a refused message: station, topic, payload (raw bytes), error, time (8 bytes)
//   op % 4 == 3  log lines of a text and of raw bytes, with a limit
// A text is [n] and n UTF-16 code units (any of them: NUL, tabs, line ends, lone surrogates);
// raw bytes are [n] and n bytes. A datim or time that is no real time with offset is replaced
// by one (the decoders let no other through).
//
// Checked beyond "no crash":
// - every COPY row is one line of valid UTF-8 without NUL or carriage return, of exactly the
//   table's fields (qz_record 34, qz_event 11, qz_rejected 5); read back with COPY's text
//   rules each field is the text given (its NULs dropped), a value is \N or the float given
//   (bit for bit), a payload (bytea hex) the bytes given;
// - rows(i, i + 1) is the i-th line; the batch's byte count grows with what it holds;
// - a log line holds no control character, no line separator and no lone surrogate, stays
//   within its limit, and is its own escape (escaping it again changes nothing).

#include "CopyBatch.h"
#include "FuzzSupport.h"
#include "MqttWire.h"

#include <QDateTime>
#include <charconv>
#include <cmath>
#include <cstring>

namespace {

QString text(fuzz::Cursor &in)
{
    const size_t n = in.byte();
    QString s;
    for (size_t i = 0; i < n && !in.atEnd(); ++i)
        s.append(QChar(char16_t(in.u16())));
    return s;
}

QByteArray bytes(fuzz::Cursor &in)
{
    size_t got = 0;
    const char *p = in.take(in.byte(), &got);
    return QByteArray(p, qsizetype(got));
}

qint64 i64(fuzz::Cursor &in)
{
    quint64 v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | in.byte();
    return qint64(v);
}

std::optional<float> maybeFloat(fuzz::Cursor &in)
{
    const bool present = in.byte() & 1;
    const float f = in.f32();
    return present ? std::optional<float>(f) : std::nullopt;
}

QString realTime(const QString &t) { return isIsoWithOffset(t) ? t : QStringLiteral("2026-03-01T08:00:00.000+08:00"); }

// What COPY's text format reads from a field: the escapes of appendCopyText undone.
QByteArray unescape(const QByteArray &field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        FUZZ_REQUIRE(i + 1 < field.size(), "a field ends in a backslash");
        const char c = field[++i];
        FUZZ_REQUIRE(c == '\\' || c == 't' || c == 'n' || c == 'r', "escape \\%c", c);
        out += c == '\\' ? '\\' : c == 't' ? '\t' : c == 'n' ? '\n' : '\r';
    }
    return out;
}

QByteArray expected(const QString &s)
{
    QByteArray b = s.toUtf8();
    b.replace('\0', QByteArray());
    return b;
}

void checkField(const QByteArray &field, const QString &given, const char *what)
{
    const QByteArray back = unescape(field);
    FUZZ_REQUIRE(back == expected(given), "%s read back as %s", what, back.toHex().constData());
}

void checkValue(const QByteArray &field, const std::optional<float> &given)
{
    if (!given || !std::isfinite(*given)) {
        FUZZ_REQUIRE(field == "\\N", "a value without a number written as %s", field.constData());
        return;
    }
    float back = 0;
    const auto res = std::from_chars(field.constData(), field.constData() + field.size(), back);
    FUZZ_REQUIRE(res.ec == std::errc() && res.ptr == field.constData() + field.size(), "value text %s", field.constData());
    FUZZ_REQUIRE(std::memcmp(&back, &*given, sizeof back) == 0 || (back == 0 && *given == 0), "%s is not %.9g",
                 field.constData(), double(*given));
}

QList<QByteArray> lineFields(const QByteArray &line, int count, const char *table)
{
    FUZZ_REQUIRE(line.endsWith('\n') && line.count('\n') == 1, "a %s row is not one line", table);
    FUZZ_REQUIRE(!line.contains('\r'), "a carriage return in a %s row", table);
    FUZZ_REQUIRE(mqtt::isMqttUtf8(line.constData(), line.size()), "a %s row is not UTF-8 without NUL", table);
    const QList<QByteArray> fields = line.chopped(1).split('\t');
    FUZZ_REQUIRE(fields.size() == count, "a %s row of %lld fields", table, qlonglong(fields.size()));
    return fields;
}

void checkLog(const QString &line, int limit)
{
    const QList<uint> ucs4 = line.toUcs4();
    for (const uint c : ucs4) {
        FUZZ_REQUIRE(!(c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029 || (c >= 0xD800 && c <= 0xDFFF)),
                     "U+%04X in a log line", c);
    }
    // Each character kept is at most an escape of six; then the "… (N more)".
    FUZZ_REQUIRE(ucs4.size() <= qsizetype(limit) * 6 + 32, "a log line of %lld characters for %d", qlonglong(ucs4.size()), limit);
    FUZZ_REQUIRE(logText(line, int(ucs4.size()) + 1) == line, "escaping a log line again changed it");
}

} // namespace

int fuzzCopyText(const uint8_t *data, size_t size)
{
    fuzz::Cursor in(data, size);
    Batch b;
    struct Record {
        QString station;
        QString datim;
        std::array<std::optional<float>, RecordValueCount> values;
    };
    QList<Record> records;
    QList<QPair<QString, EventMessage>> events;
    qsizetype lastBytes = 0;
    int ops = 0;
    while (!in.atEnd() && ops++ < 64) {
        switch (in.byte() % 4) {
        case 0: {
            Record r;
            r.station = text(in);
            r.datim = realTime(text(in));
            RecordMessage m;
            m.datim = r.datim;
            for (int i = 0; i < RecordValueCount; ++i)
                m.values[i] = r.values[i] = maybeFloat(in);
            b.addRecord(r.station, m);
            records.append(r);
            break;
        }
        case 1: {
            const QString station = text(in);
            EventMessage e;
            e.id = i64(in);
            e.time = realTime(text(in));
            e.source = text(in);
            const bool hasChannel = in.byte() & 1;
            const int channel = int(quint32(in.u16()) << 16 | in.u16());
            if (hasChannel)
                e.channel = channel;
            e.name = text(in);
            e.kind = text(in);
            e.value = maybeFloat(in);
            e.transition = text(in);
            e.user = text(in);
            e.detail = text(in);
            b.addEvent(station, e);
            events.append({station, e});
            break;
        }
        case 2: {
            RejectedMessage r;
            r.station = text(in);
            r.topic = text(in);
            r.payload = bytes(in);
            r.error = text(in);
            r.receivedMs = i64(in) % (qint64(253402300799) * 1000); // before the year 10000
            if (r.receivedMs < 0)
                r.receivedMs = -r.receivedMs;
            b.addRejected(r);
            break;
        }
        default: {
            const int limit = 1 + in.byte();
            checkLog(logText(text(in), limit), limit);
            checkLog(logBytes(bytes(in), limit), limit);
            break;
        }
        }
        FUZZ_REQUIRE(b.bytes >= lastBytes, "byte count went down");
        lastBytes = b.bytes;
    }

    FUZZ_REQUIRE(b.records.count() == records.size() && b.events.count() == events.size(), "rows lost");
    for (int i = 0; i < records.size(); ++i) {
        const QByteArray line = b.records.rows(i, i + 1).toByteArray();
        const QList<QByteArray> f = lineFields(line, 2 + RecordValueCount, "qz_record");
        checkField(f[0], records[i].station, "station");
        FUZZ_REQUIRE(f[1] == records[i].datim.toLatin1(), "datim %s", f[1].constData());
        for (int k = 0; k < RecordValueCount; ++k)
            checkValue(f[2 + k], records[i].values[k]);
    }
    for (int i = 0; i < events.size(); ++i) {
        const EventMessage &e = events[i].second;
        const QList<QByteArray> f = lineFields(b.events.rows(i, i + 1).toByteArray(), 11, "qz_event");
        checkField(f[0], events[i].first, "station");
        FUZZ_REQUIRE(f[1] == QByteArray::number(e.id), "id %s", f[1].constData());
        FUZZ_REQUIRE(f[2] == e.time.toLatin1(), "time %s", f[2].constData());
        checkField(f[3], e.source, "source");
        FUZZ_REQUIRE(e.channel ? f[4] == QByteArray::number(*e.channel) : f[4] == "\\N", "channel %s", f[4].constData());
        checkField(f[5], e.name, "name");
        checkField(f[6], e.kind, "kind");
        checkValue(f[7], e.value);
        checkField(f[8], e.transition, "transition");
        checkField(f[9], e.user, "user");
        checkField(f[10], e.detail, "detail");
    }
    const QByteArray dead = rejectedCopy(b.rejected);
    const QList<QByteArray> lines = dead.split('\n');
    FUZZ_REQUIRE(lines.size() == b.rejected.size() + 1 && lines.last().isEmpty(), "%lld dead letters in %lld lines",
                 qlonglong(b.rejected.size()), qlonglong(lines.size()));
    for (int i = 0; i < b.rejected.size(); ++i) {
        const RejectedMessage &r = b.rejected[i];
        const QList<QByteArray> f = lineFields(lines[i] + '\n', 5, "qz_rejected");
        checkField(f[0], r.station, "station");
        checkField(f[1], r.topic, "topic");
        const QByteArray bytea = unescape(f[2]);
        FUZZ_REQUIRE(bytea.startsWith("\\x") && QByteArray::fromHex(bytea.mid(2)) == r.payload
                         && bytea.size() == 2 + 2 * r.payload.size(),
                     "payload read back wrong");
        checkField(f[3], r.error, "error");
        const QDateTime t = QDateTime::fromString(QString::fromLatin1(f[4]), Qt::ISODateWithMs);
        FUZZ_REQUIRE(t.isValid() && t.toMSecsSinceEpoch() == r.receivedMs, "received_at %s", f[4].constData());
    }
    return 0;
}

QZ_FUZZ_TARGET(fuzzCopyText)
