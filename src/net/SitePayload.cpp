#include "SitePayload.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <charconv>
#include <cmath>

namespace {

// A float as its shortest decimal text, read back as a double: 25.3f travels as 25.3, not as
// 25.299999237060547.
QJsonValue floatJson(float v)
{
    if (!std::isfinite(v))
        return QJsonValue::Null;
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return QByteArray(buf, res.ptr - buf).toDouble();
}

QJsonValue optionalJson(const std::optional<double> &v)
{
    return v && std::isfinite(*v) ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

QByteArray compact(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

bool parseObject(const QByteArray &payload, QJsonObject *out, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &pe);
    if (pe.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2").arg(pe.errorString()).arg(pe.offset);
        return false;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("not a JSON object");
        return false;
    }
    *out = doc.object();
    return true;
}

bool optionalNumber(const QJsonValue &v, std::optional<float> *out)
{
    if (v.isNull() || v.isUndefined()) {
        out->reset();
        return true;
    }
    if (!v.isDouble())
        return false;
    *out = float(v.toDouble());
    return true;
}

bool requiredString(const QJsonObject &o, const char *key, QString *out, QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) {
        *error = QStringLiteral("\"%1\" is missing or not a text").arg(QLatin1String(key));
        return false;
    }
    *out = v.toString();
    return true;
}

} // namespace

QString commStateText(StationComm state)
{
    switch (state) {
    case StationComm::Ok:
        return QStringLiteral("OK");
    case StationComm::Error:
        return QStringLiteral("ERROR");
    case StationComm::None:
        break;
    }
    return QStringLiteral("NONE");
}

QString isoWithOffset(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    const QDateTime local = time.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + (offset < 0 ? u'-' : u'+')
        + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString isoWithOffset(const QString &storedLocalText)
{
    QString text = storedLocalText.trimmed();
    if (text.size() > 10 && text.at(10) == u' ')
        text[10] = u'T';
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid() || t.timeSpec() != Qt::LocalTime)
        return QString();
    return isoWithOffset(t);
}

std::optional<double> storedValue(const QString &text, bool isNull)
{
    if (isNull)
        return std::nullopt;
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v == double(InterruptionMarker))
        return std::nullopt;
    return v;
}

QByteArray encodeStatus(const QString &station, bool online, StationComm comm, const QString &version,
                        const QDateTime &time, const TOption &option, int channelCount, bool storing)
{
    const int count = std::clamp(channelCount, 0, MaxChannels);
    QJsonArray channels;
    for (int i = 0; i < count; ++i) {
        channels.append(QJsonObject{{QStringLiteral("channel"), i + 1},
                                    {QStringLiteral("name"), option.Names[i]},
                                    {QStringLiteral("unit"), option.Units[i]},
                                    {QStringLiteral("lower"), floatJson(option.LowerLimits[i])},
                                    {QStringLiteral("upper"), floatJson(option.UpperLimits[i])}});
    }
    return compact(QJsonObject{{QStringLiteral("station"), station},
                               {QStringLiteral("online"), online},
                               {QStringLiteral("comm"), commStateText(comm)},
                               {QStringLiteral("storing"), storing},
                               {QStringLiteral("version"), version},
                               {QStringLiteral("time"), isoWithOffset(time)},
                               {QStringLiteral("channelCount"), count},
                               {QStringLiteral("channels"), channels}});
}

QByteArray encodeWill(const QString &station)
{
    return compact(QJsonObject{{QStringLiteral("station"), station}, {QStringLiteral("online"), false}});
}

QByteArray encodeLive(const QDateTime &time, const TAllRecord &record, int channelCount)
{
    const int count = std::clamp(channelCount, 0, MaxChannels);
    QJsonArray values, states;
    for (int k = 1; k <= count; ++k) {
        const float pv = record.Pv[k];
        if (isInterrupted(pv)) {
            values.append(QJsonValue::Null);
            states.append(InterruptedText);
        } else {
            values.append(floatJson(pv));
            states.append(record.AlmText[k]);
        }
    }
    return compact(QJsonObject{{QStringLiteral("time"), isoWithOffset(time)},
                               {QStringLiteral("values"), values},
                               {QStringLiteral("states"), states}});
}

QByteArray encodeRecord(const HistoryRow &row)
{
    const QString datim = isoWithOffset(row.datim);
    if (datim.isEmpty())
        return QByteArray();
    QJsonArray values;
    for (const auto &v : row.values)
        values.append(optionalJson(v));
    return compact(QJsonObject{{QStringLiteral("datim"), datim}, {QStringLiteral("values"), values}});
}

QByteArray encodeEvent(const JournalRow &e)
{
    const QString time = isoWithOffset(e.time);
    if (time.isEmpty())
        return QByteArray();
    return compact(QJsonObject{{QStringLiteral("id"), double(e.id)},
                               {QStringLiteral("time"), time},
                               {QStringLiteral("source"), e.source},
                               {QStringLiteral("channel"), e.channel ? QJsonValue(*e.channel) : QJsonValue(QJsonValue::Null)},
                               {QStringLiteral("name"), e.name},
                               {QStringLiteral("kind"), e.kind},
                               {QStringLiteral("value"), optionalJson(e.value)},
                               {QStringLiteral("transition"), e.transition},
                               {QStringLiteral("user"), e.user},
                               {QStringLiteral("detail"), e.detail}});
}

bool isIsoWithOffset(const QString &text)
{
    // By hand rather than by a date parser: the collector checks every message.
    const qsizetype n = text.size();
    auto digits = [&](qsizetype at, int count, int max) {
        if (at + count > n)
            return false;
        int v = 0;
        for (int i = 0; i < count; ++i) {
            const char16_t c = text[at + i].unicode();
            if (c < u'0' || c > u'9')
                return false;
            v = v * 10 + (c - u'0');
        }
        return v <= max;
    };
    auto is = [&](qsizetype at, char16_t c) { return at < n && text[at].unicode() == c; };
    if (!digits(0, 4, 9999) || !is(4, u'-') || !digits(5, 2, 12) || !is(7, u'-') || !digits(8, 2, 31) || !is(10, u'T')
        || !digits(11, 2, 23) || !is(13, u':') || !digits(14, 2, 59) || !is(16, u':') || !digits(17, 2, 60))
        return false;
    if (text.mid(5, 2) == QStringLiteral("00") || text.mid(8, 2) == QStringLiteral("00"))
        return false;
    qsizetype pos = 19;
    if (is(pos, u'.')) {
        ++pos;
        const qsizetype start = pos;
        while (pos < n && pos - start < 9 && text[pos].isDigit())
            ++pos;
        if (pos == start)
            return false;
    }
    if (is(pos, u'Z'))
        return pos + 1 == n;
    return (is(pos, u'+') || is(pos, u'-')) && digits(pos + 1, 2, 23) && is(pos + 3, u':') && digits(pos + 4, 2, 59)
        && pos + 6 == n;
}

bool decodeRecord(const QByteArray &payload, RecordMessage *out, QString *error)
{
    QJsonObject o;
    if (!parseObject(payload, &o, error))
        return false;
    if (!requiredString(o, "datim", &out->datim, error))
        return false;
    if (!isIsoWithOffset(out->datim)) {
        *error = QStringLiteral("\"datim\" is not a time with offset: %1").arg(out->datim);
        return false;
    }
    const QJsonValue vv = o.value(QStringLiteral("values"));
    if (!vv.isArray() || vv.toArray().size() > MaxChannels) {
        *error = QStringLiteral("\"values\" is not an array of at most 32 entries");
        return false;
    }
    const QJsonArray values = vv.toArray();
    for (int i = 0; i < MaxChannels; ++i) {
        if (!optionalNumber(i < values.size() ? values.at(i) : QJsonValue(QJsonValue::Null), &out->values[i])) {
            *error = QStringLiteral("value %1 is neither a number nor null").arg(i + 1);
            return false;
        }
    }
    return true;
}

bool decodeEvent(const QByteArray &payload, EventMessage *out, QString *error)
{
    QJsonObject o;
    if (!parseObject(payload, &o, error))
        return false;
    const QJsonValue id = o.value(QStringLiteral("id"));
    if (!id.isDouble() || id.toDouble() < 1 || id.toDouble() != std::floor(id.toDouble())) {
        *error = QStringLiteral("\"id\" is missing or not a positive whole number");
        return false;
    }
    out->id = qint64(id.toDouble());
    if (!requiredString(o, "time", &out->time, error) || !requiredString(o, "source", &out->source, error)
        || !requiredString(o, "name", &out->name, error) || !requiredString(o, "kind", &out->kind, error)
        || !requiredString(o, "transition", &out->transition, error))
        return false;
    if (!isIsoWithOffset(out->time)) {
        *error = QStringLiteral("\"time\" is not a time with offset: %1").arg(out->time);
        return false;
    }
    out->user = o.value(QStringLiteral("user")).toString();
    out->detail = o.value(QStringLiteral("detail")).toString();
    const QJsonValue channel = o.value(QStringLiteral("channel"));
    if (channel.isDouble())
        out->channel = channel.toInt();
    else if (channel.isNull() || channel.isUndefined())
        out->channel.reset();
    else {
        *error = QStringLiteral("\"channel\" is neither a number nor null");
        return false;
    }
    if (!optionalNumber(o.value(QStringLiteral("value")), &out->value)) {
        *error = QStringLiteral("\"value\" is neither a number nor null");
        return false;
    }
    return true;
}

bool decodeStatus(const QByteArray &payload, StatusMessage *out, QString *error)
{
    QJsonObject o;
    if (!parseObject(payload, &o, error))
        return false;
    const QJsonValue online = o.value(QStringLiteral("online"));
    if (!online.isBool()) {
        *error = QStringLiteral("\"online\" is missing or not true/false");
        return false;
    }
    out->online = online.toBool();
    auto text = [&o](const char *key) -> std::optional<QString> {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
    };
    out->comm = text("comm");
    out->version = text("version");
    out->time = text("time");
    if (out->time && !isIsoWithOffset(*out->time))
        out->time.reset();
    const QJsonValue count = o.value(QStringLiteral("channelCount"));
    out->channelCount = count.isDouble() ? std::optional<int>(count.toInt()) : std::nullopt;
    const QJsonValue channels = o.value(QStringLiteral("channels"));
    if (channels.isArray())
        out->channels = QJsonDocument(channels.toArray()).toJson(QJsonDocument::Compact);
    else
        out->channels.reset();
    return true;
}
