#include "CopyBatch.h"

#include "MqttWire.h"

#include <QDateTime>
#include <charconv>
#include <cmath>
#include <cstring>

namespace {

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

// JSON's number grammar: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool isJsonNumber(const char *p, const char *end)
{
    auto digit = [&] { return p < end && *p >= '0' && *p <= '9'; };
    if (p < end && *p == '-')
        ++p;
    if (!digit())
        return false;
    if (*p++ != '0') {
        while (digit())
            ++p;
    }
    if (p < end && *p == '.') {
        ++p;
        if (!digit())
            return false;
        while (digit())
            ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        if (!digit())
            return false;
        while (digit())
            ++p;
    }
    return p == end;
}

qsizetype originBytes(const MessageOrigin &o) { return o.payload.size() + o.topic.size() * 2 + 64; }

void appendEscaped(QString &out, char32_t c)
{
    if (c < 0x100)
        out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    else
        out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
}

bool needsEscape(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029;
}

} // namespace

bool splitTopic(const QString &topic, QString *station, QString *leaf)
{
    if (!topic.startsWith(QStringLiteral("qz/")))
        return false;
    const qsizetype slash = topic.indexOf(u'/', 3);
    if (slash <= 3 || topic.indexOf(u'/', slash + 1) >= 0)
        return false;
    *station = topic.mid(3, slash - 3);
    *leaf = topic.mid(slash + 1);
    return true;
}

RejectedMessage rejectedMessage(const QString &station, const MessageOrigin &origin, const QString &error)
{
    RejectedMessage r;
    r.station = station;
    r.topic = origin.topic;
    r.receivedMs = origin.receivedMs;
    r.error = error;
    r.payload = origin.payload.left(RejectedPayloadBytes);
    const qint64 size = std::max<qint64>(origin.payloadSize, origin.payload.size());
    if (size > r.payload.size())
        r.error += QStringLiteral(" (payload of %1 bytes, the first %2 kept)").arg(size).arg(r.payload.size());
    return r;
}

QByteArrayView CopyRows::rows(int from, int to) const
{
    const qsizetype begin = from < count() ? starts[from] : text.size();
    const qsizetype end = to < count() ? starts[to] : text.size();
    return QByteArrayView(text.constData() + begin, end - begin);
}

void CopyRows::clear()
{
    text.clear();
    starts.clear();
    origins.clear();
}

void Batch::clear() { *this = Batch{}; }

Batch::Taken Batch::take(const IncomingMessage &m)
{
    ++messages;
    const MessageOrigin origin{m.topic, m.payload, m.receivedMs, m.payloadSize};
    QString station, leaf;
    auto refuse = [&](const QString &error) {
        addRejected(rejectedMessage(station, origin, error));
        return Taken::Rejected;
    };
    if (!splitTopic(m.topic, &station, &leaf)) {
        station.clear();
        return refuse(m.refusal.isEmpty() ? QStringLiteral("not a topic qz/<station>/<leaf>") : m.refusal);
    }
    if (!m.refusal.isEmpty())
        return refuse(m.refusal);
    if (!isStationName(station))
        return refuse(QStringLiteral("the station name is not 1 … 64 bytes of letters, digits, '-', '_' and '.'"));
    const bool record = leaf == QStringLiteral("record");
    const bool event = leaf == QStringLiteral("event");
    if ((record || event) && m.qos == 0)
        return refuse(QStringLiteral("QoS 0: records and events are taken with QoS 1 only"));
    QString error;
    if (record) {
        if (!addRecordPayload(station, m.payload, origin)) {
            RecordMessage r;
            if (!decodeRecord(m.payload, &r, &error))
                return refuse(error);
            addRecord(station, r, origin);
        }
        seen[station] += 1;
        return Taken::Record;
    }
    if (event) {
        EventMessage e;
        if (!decodeEvent(m.payload, &e, &error))
            return refuse(error);
        addEvent(station, e, origin);
        seen[station] += 1;
        return Taken::Event;
    }
    if (leaf == QStringLiteral("status")) {
        StatusMessage s;
        if (!decodeStatus(m.payload, &s, &error))
            return refuse(error);
        if (s.station && *s.station != station)
            return refuse(QStringLiteral("the status names another station: %1").arg(s.station->left(80)));
        addStatus(station, s, origin);
        seen[station] += 1;
        return Taken::Status;
    }
    return refuse(QStringLiteral("not a topic of ours (status, record or event)"));
}

void Batch::addRecord(const QString &station, const RecordMessage &r, const MessageOrigin &origin)
{
    QByteArray &o = records.text;
    records.starts.append(o.size());
    appendCopyText(o, station);
    o.append('\t');
    o.append(r.datim.toLatin1());
    for (const auto &v : r.values) {
        o.append('\t');
        appendFloat(o, v);
    }
    o.append('\n');
    records.origins.append(origin);
    bytes += o.size() - records.starts.last() + originBytes(origin);
}

bool Batch::addRecordPayload(const QString &station, const QByteArray &payload, const MessageOrigin &origin)
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
    if (p == end || !isIsoWithOffset(datim, p - datim))
        return false;
    const char *datimEnd = p;
    if (end - p < qsizetype(sizeof middle - 1) || std::memcmp(p, middle, sizeof middle - 1) != 0)
        return false;
    p += sizeof middle - 1;
    // The values, checked before anything is appended.
    std::array<std::pair<const char *, const char *>, RecordValueCount> values{};
    int count = 0;
    if (p < end && *p == ']') {
        ++p;
    } else {
        for (;;) {
            const char *start = p;
            while (p < end && *p != ',' && *p != ']')
                ++p;
            if (p == end || count == RecordValueCount)
                return false;
            if (p - start == 4 && std::memcmp(start, "null", 4) == 0) {
                values[count++] = {nullptr, nullptr};
            } else {
                // JSON's number grammar within the range of a real; anything else (a text,
                // inf, hex, a number out of range) is left to the decoder.
                float v;
                if (!isJsonNumber(start, p))
                    return false;
                const auto res = std::from_chars(start, p, v);
                if (res.ec != std::errc() || res.ptr != p || !std::isfinite(v))
                    return false;
                values[count++] = {start, p};
            }
            if (*p++ == ']')
                break;
        }
    }
    if (end - p != 1 || *p != '}')
        return false;
    QByteArray &o = records.text;
    records.starts.append(o.size());
    appendCopyText(o, station);
    o.append('\t');
    o.append(datim, datimEnd - datim);
    for (int i = 0; i < RecordValueCount; ++i) {
        o.append('\t');
        if (i < count && values[i].first)
            o.append(values[i].first, values[i].second - values[i].first);
        else
            o.append("\\N");
    }
    o.append('\n');
    records.origins.append(origin);
    bytes += o.size() - records.starts.last() + originBytes(origin);
    return true;
}

void Batch::addEvent(const QString &station, const EventMessage &e, const MessageOrigin &origin)
{
    QByteArray &o = events.text;
    events.starts.append(o.size());
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
    events.origins.append(origin);
    bytes += o.size() - events.starts.last() + originBytes(origin);
}

void Batch::addStatus(const QString &station, const StatusMessage &s, const MessageOrigin &origin)
{
    statuses.append({station, s, origin});
    bytes += originBytes(origin) + (s.channels ? s.channels->size() : 0) + 256;
}

void Batch::addRejected(const RejectedMessage &r)
{
    rejected.append(r);
    bytes += r.payload.size() + (r.topic.size() + r.error.size() + r.station.size()) * 2 + 64;
}

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

void appendCopyBytea(QByteArray &out, const QByteArray &bytes)
{
    // COPY reads "\\x…" as the bytea input "\x…".
    out.append("\\\\x");
    out.append(bytes.toHex());
}

QByteArray rejectedCopy(const QList<RejectedMessage> &rejected)
{
    QByteArray out;
    for (const RejectedMessage &r : rejected) {
        appendCopyText(out, r.station);
        out.append('\t');
        appendCopyText(out, r.topic);
        out.append('\t');
        appendCopyBytea(out, r.payload);
        out.append('\t');
        appendCopyText(out, r.error);
        out.append('\t');
        out.append(QDateTime::fromMSecsSinceEpoch(r.receivedMs, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1());
        out.append('\n');
    }
    return out;
}

QString logText(const QString &text, int maxChars)
{
    QString out;
    int chars = 0;
    const QList<uint> ucs4 = text.toUcs4();
    for (qsizetype i = 0; i < ucs4.size(); ++i) {
        if (chars >= maxChars) {
            out += QStringLiteral("… (%1 more)").arg(ucs4.size() - i);
            break;
        }
        const char32_t c = ucs4[i];
        if (needsEscape(c) || (c >= 0xD800 && c <= 0xDFFF))
            appendEscaped(out, c);
        else
            out += QString::fromUcs4(&c, 1);
        ++chars;
    }
    return out;
}

QString logBytes(const QByteArray &bytes, int maxChars)
{
    // Valid UTF-8 sequences as text, every other byte as \xNN.
    QString out;
    int chars = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        if (chars >= maxChars) {
            out += QStringLiteral("… (%1 more bytes)").arg(bytes.size() - i);
            break;
        }
        const auto c = quint8(bytes[i]);
        const int len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (len > 0 && i + len <= bytes.size() && (c == 0 || mqtt::isMqttUtf8(bytes.constData() + i, len))) {
            const QString s = QString::fromUtf8(bytes.constData() + i, len);
            out += logText(s, 2);
            i += len;
        } else {
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
            ++i;
        }
        ++chars;
    }
    return out;
}
