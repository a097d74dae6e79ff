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
