#include "SiteMessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringView>
#include <cfloat>
#include <cmath>

namespace {

bool parseObject(const QByteArray &payload, QJsonObject *out, QString *error)
{
    // PostgreSQL text holds no NUL; JSON would carry one only as \u0000, checked per text below.
    if (payload.contains('\0')) {
        *error = QStringLiteral("the payload holds a NUL byte");
        return false;
    }
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

bool hasNul(const QString &text) { return text.contains(QChar(u'\0')); }

// A value nested anywhere in the message is fit for PostgreSQL (jsonb refuses \u0000 and has
// no form for an infinite number).
bool cleanJson(const QJsonValue &v, QString *why, int depth = 0)
{
    if (depth > 64) {
        *why = QStringLiteral("nested deeper than 64 levels");
        return false;
    }
    switch (v.type()) {
    case QJsonValue::String:
        if (hasNul(v.toString())) {
            *why = QStringLiteral("a text holds a NUL (\\u0000)");
            return false;
        }
        return true;
    case QJsonValue::Double:
        if (!std::isfinite(v.toDouble())) {
            *why = QStringLiteral("a number is not finite");
            return false;
        }
        return true;
    case QJsonValue::Array: {
        const QJsonArray a = v.toArray();
        for (const QJsonValue &item : a) {
            if (!cleanJson(item, why, depth + 1))
                return false;
        }
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject o = v.toObject();
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (hasNul(it.key())) {
                *why = QStringLiteral("a name holds a NUL (\\u0000)");
                return false;
            }
            if (!cleanJson(it.value(), why, depth + 1))
                return false;
        }
        return true;
    }
    default:
        return true;
    }
}

bool requiredString(const QJsonObject &o, const char *key, QString *out, QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) {
        *error = QStringLiteral("\"%1\" is missing or not a text").arg(QLatin1String(key));
        return false;
    }
    *out = v.toString();
    if (hasNul(*out)) {
        *error = QStringLiteral("\"%1\" holds a NUL (\\u0000)").arg(QLatin1String(key));
        return false;
    }
    return true;
}

// A text that may be missing or null; anything else than a text is refused.
bool optionalString(const QJsonObject &o, const char *key, std::optional<QString> *out, QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
        out->reset();
        return true;
    }
    if (!v.isString() || hasNul(v.toString())) {
        *error = QStringLiteral("\"%1\" is neither a text without NUL nor null").arg(QLatin1String(key));
        return false;
    }
    *out = v.toString();
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
    *out = realValue(v.toDouble());
    return true;
}

// A whole number in [lo, hi], or missing/null.
bool optionalInteger(const QJsonValue &v, double lo, double hi, std::optional<int> *out)
{
    if (v.isNull() || v.isUndefined()) {
        out->reset();
        return true;
    }
    const double d = v.toDouble();
    if (!v.isDouble() || d != std::floor(d) || d < lo || d > hi)
        return false;
    *out = int(d);
    return true;
}

template <typename Ch>
bool isoCheck(const Ch *s, qsizetype n)
{
    // By hand rather than by a date parser: the collector checks every message.
    auto digits = [&](qsizetype at, int count, int *value) {
        if (at + count > n)
            return false;
        int v = 0;
        for (int i = 0; i < count; ++i) {
            const auto c = s[at + i];
            if (c < '0' || c > '9')
                return false;
            v = v * 10 + int(c - '0');
        }
        *value = v;
        return true;
    };
    auto is = [&](qsizetype at, char c) { return at < n && s[at] == Ch(c); };
    int year, month, day, hour, minute, second;
    if (!digits(0, 4, &year) || !is(4, '-') || !digits(5, 2, &month) || !is(7, '-') || !digits(8, 2, &day)
        || !is(10, 'T') || !digits(11, 2, &hour) || !is(13, ':') || !digits(14, 2, &minute) || !is(16, ':')
        || !digits(17, 2, &second))
        return false;
    // A real moment: QDate knows the calendar (no year 0, no 31 February).
    if (!QDate::isValid(year, month, day) || hour > 23 || minute > 59 || second > 59)
        return false;
    qsizetype pos = 19;
    if (is(pos, '.')) {
        ++pos;
        const qsizetype start = pos;
        while (pos < n && pos - start < 9 && s[pos] >= '0' && s[pos] <= '9')
            ++pos;
        if (pos == start)
            return false;
    }
    if (is(pos, 'Z'))
        return pos + 1 == n;
    int oh, om;
    if (!(is(pos, '+') || is(pos, '-')) || !digits(pos + 1, 2, &oh) || !is(pos + 3, ':') || !digits(pos + 4, 2, &om)
        || pos + 6 != n)
        return false;
    return om <= 59 && oh * 60 + om <= 14 * 60;
}

} // namespace

bool isStationNameChar(char32_t c)
{
    return c == U'-' || c == U'_' || c == U'.' || QChar::isLetter(c) || QChar::isDigit(c);
}

bool isStationName(const QString &name)
{
    if (name.isEmpty())
        return false;
    qsizetype bytes = 0;
    for (const char32_t c : QStringView(name).toUcs4()) {
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (bytes > MaxStationNameBytes || !isStationNameChar(c))
            return false;
    }
    return true;
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

bool isIsoWithOffset(const QString &text)
{
    return isoCheck(reinterpret_cast<const char16_t *>(text.utf16()), text.size());
}

bool isIsoWithOffset(const char *text, qsizetype size) { return isoCheck(text, size); }

std::optional<float> realValue(double v)
{
    // What rounds to a finite float is one (as PostgreSQL reads the text of a real).
    const float f = float(v);
    if (!std::isfinite(v) || !std::isfinite(f))
        return std::nullopt;
    return f;
}

bool decodeRecord(const QByteArray &payload, RecordMessage *out, QString *error)
{
    QJsonObject o;
    if (!parseObject(payload, &o, error))
        return false;
    if (!requiredString(o, "datim", &out->datim, error))
        return false;
    if (!isIsoWithOffset(out->datim)) {
        *error = QStringLiteral("\"datim\" is not a real time with offset: %1").arg(out->datim.left(40));
        return false;
    }
    const QJsonValue vv = o.value(QStringLiteral("values"));
    if (!vv.isArray() || vv.toArray().size() > RecordValueCount) {
        *error = QStringLiteral("\"values\" is not an array of at most 32 entries");
        return false;
    }
    const QJsonArray values = vv.toArray();
    for (int i = 0; i < RecordValueCount; ++i) {
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
    const double idValue = id.toDouble();
    if (!id.isDouble() || idValue < 1 || idValue > double(MaxEventId) || idValue != std::floor(idValue)) {
        *error = QStringLiteral("\"id\" is missing or not a whole number of 1 … 2^53");
        return false;
    }
    out->id = qint64(idValue);
    if (!requiredString(o, "time", &out->time, error) || !requiredString(o, "source", &out->source, error)
        || !requiredString(o, "name", &out->name, error) || !requiredString(o, "kind", &out->kind, error)
        || !requiredString(o, "transition", &out->transition, error))
        return false;
    if (!isIsoWithOffset(out->time)) {
        *error = QStringLiteral("\"time\" is not a real time with offset: %1").arg(out->time.left(40));
        return false;
    }
    std::optional<QString> user, detail;
    if (!optionalString(o, "user", &user, error) || !optionalString(o, "detail", &detail, error))
        return false;
    out->user = user.value_or(QString());
    out->detail = detail.value_or(QString());
    if (!optionalInteger(o.value(QStringLiteral("channel")), -2147483648.0, 2147483647.0, &out->channel)) {
        *error = QStringLiteral("\"channel\" is neither a whole number nor null");
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
    if (!optionalString(o, "station", &out->station, error) || !optionalString(o, "comm", &out->comm, error)
        || !optionalString(o, "version", &out->version, error) || !optionalString(o, "time", &out->time, error))
        return false;
    if (out->time && !isIsoWithOffset(*out->time)) {
        *error = QStringLiteral("\"time\" is not a real time with offset: %1").arg(out->time->left(40));
        return false;
    }
    if (!optionalInteger(o.value(QStringLiteral("channelCount")), 0, RecordValueCount, &out->channelCount)) {
        *error = QStringLiteral("\"channelCount\" is neither a whole number of 0 … 32 nor null");
        return false;
    }
    const QJsonValue channels = o.value(QStringLiteral("channels"));
    if (channels.isArray()) {
        QString why;
        if (!cleanJson(channels, &why)) {
            *error = QStringLiteral("\"channels\": %1").arg(why);
            return false;
        }
        out->channels = QJsonDocument(channels.toArray()).toJson(QJsonDocument::Compact);
    } else if (channels.isNull() || channels.isUndefined()) {
        out->channels.reset();
    } else {
        *error = QStringLiteral("\"channels\" is neither an array nor null");
        return false;
    }
    return true;
}
