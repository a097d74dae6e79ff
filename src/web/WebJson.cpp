#include "WebJson.h"

#include "AlarmCenter.h"
#include "AlarmTexts.h"
#include "EventsExport.h"
#include "NumberText.h"
#include "SitePayload.h"
#include "StationTexts.h"

#include <QJsonDocument>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

QByteArray compactJson(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

QJsonValue timeValue(const QDateTime &t) { return t.isValid() ? QJsonValue(isoWithOffset(t)) : QJsonValue(); }

int boundedCount(const StationSnapshot &s) { return std::clamp(s.channelCount, 0, MaxChannels); }

// A channel is shown in alarm while its instrument says so or one of its alarms is active.
bool channelInAlarm(const StationSnapshot &s, int channel)
{
    const QString &state = s.record.AlmText[channel];
    if (!state.isEmpty() && state != InterruptedStateText)
        return true;
    return std::any_of(s.alarms.cbegin(), s.alarms.cend(),
                       [channel](const Alarm &a) { return a.key.channel == channel && isActive(a.state); });
}

// A measured value: the instruments' values are floats, so one that is exactly a float travels
// as the float's shortest text (81.2, not 81.19999694824219); NaN (none) as null.
QJsonValue doubleValue(double v)
{
    if (!std::isfinite(v))
        return QJsonValue();
    const float f = float(v);
    return double(f) == v ? floatValue(f) : QJsonValue(v);
}

} // namespace

QJsonValue floatValue(float v)
{
    if (!std::isfinite(v))
        return QJsonValue::Null;
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    return QByteArray(buf, res.ptr - buf).toDouble();
}

QJsonArray panelTexts(const StationSnapshot &s)
{
    return {commPanelText(s.comm), portPanelText(s.portShown, s.portName),
            speedPanelText(s.portShown, s.speed, s.siteEnabled, s.siteState), alarmPanelText(s.unacknowledged)};
}

QJsonObject tileJson(const StationSnapshot &s, int k)
{
    const float pv = s.record.Pv[k];
    const bool interrupted = isInterrupted(pv);
    const QString state = interrupted ? InterruptedStateText : s.record.AlmText[k];
    return {{QStringLiteral("channel"), k},
            {QStringLiteral("name"), s.option.Names[k - 1]},
            {QStringLiteral("unit"), s.option.Units[k - 1]},
            {QStringLiteral("value"), interrupted ? QJsonValue() : floatValue(pv)},
            {QStringLiteral("text"), interrupted ? InterruptedText : formatPv3(pv)},
            {QStringLiteral("state"), state},
            // An interrupted channel shows a full bar, as on the window's tile.
            {QStringLiteral("bar"), interrupted ? 100 : tileBarPosition(pv, s.option.LowerLimits[k - 1], s.option.UpperLimits[k - 1])},
            {QStringLiteral("interrupted"), interrupted},
            {QStringLiteral("alarm"), !interrupted && channelInAlarm(s, k)}};
}

QByteArray statusJson(const StationSnapshot &s, const QString &station)
{
    QJsonArray channels;
    for (int k = 1; k <= boundedCount(s); ++k)
        channels.append(QJsonObject{{QStringLiteral("channel"), k},
                                    {QStringLiteral("name"), s.option.Names[k - 1]},
                                    {QStringLiteral("unit"), s.option.Units[k - 1]},
                                    {QStringLiteral("lower"), floatValue(s.option.LowerLimits[k - 1])},
                                    {QStringLiteral("upper"), floatValue(s.option.UpperLimits[k - 1])}});
    return compactJson({{QStringLiteral("station"), station},
                        {QStringLiteral("version"), QStringLiteral(QZ_VERSION)},
                        {QStringLiteral("time"), timeValue(s.time)},
                        {QStringLiteral("comm"), commStateText(s.comm)},
                        {QStringLiteral("panels"), panelTexts(s)},
                        {QStringLiteral("port"), s.portName},
                        {QStringLiteral("device"), s.device},
                        {QStringLiteral("speed"), s.speed},
                        {QStringLiteral("portOpen"), s.portOpen},
                        {QStringLiteral("running"), s.running},
                        {QStringLiteral("storing"), s.storing},
                        {QStringLiteral("storagePeriodMs"), s.storagePeriodMs},
                        {QStringLiteral("lastStored"), timeValue(s.lastStored)},
                        {QStringLiteral("storageError"), s.storageError},
                        {QStringLiteral("unacknowledged"), s.unacknowledged},
                        {QStringLiteral("alarmCount"), int(s.alarms.size())},
                        {QStringLiteral("channelCount"), boundedCount(s)},
                        {QStringLiteral("channels"), channels},
                        {QStringLiteral("site"), QJsonObject{{QStringLiteral("enabled"), s.siteEnabled},
                                                             {QStringLiteral("state"), s.siteState}}}});
}

QByteArray liveJson(const StationSnapshot &s, const LiveExtras &extras)
{
    QJsonArray tiles;
    for (int k = 1; k <= boundedCount(s); ++k)
        tiles.append(tileJson(s, k));
    return compactJson({{QStringLiteral("time"), timeValue(s.time)},
                        {QStringLiteral("serial"), double(s.serial)},
                        {QStringLiteral("answerTime"), timeValue(extras.answerTime)},
                        {QStringLiteral("comm"), commStateText(s.comm)},
                        {QStringLiteral("panels"), panelTexts(s)},
                        {QStringLiteral("running"), s.running},
                        {QStringLiteral("storing"), s.storing},
                        {QStringLiteral("lastStored"), timeValue(s.lastStored)},
                        {QStringLiteral("storageError"), s.storageError},
                        {QStringLiteral("unacknowledged"), s.unacknowledged},
                        {QStringLiteral("alarmCount"), int(s.alarms.size())},
                        {QStringLiteral("lastEventId"), double(extras.lastEventId)},
                        {QStringLiteral("channelCount"), boundedCount(s)},
                        {QStringLiteral("channels"), tiles}});
}

QByteArray alarmsJson(const StationSnapshot &s)
{
    QJsonArray alarms;
    for (const Alarm &a : s.alarms) {
        alarms.append(QJsonObject{
            {QStringLiteral("raisedAt"), timeValue(a.raisedAt)},
            {QStringLiteral("source"), sourceToken(a.key.source)},
            {QStringLiteral("channel"), a.key.channel > 0 ? QJsonValue(a.key.channel) : QJsonValue()},
            {QStringLiteral("name"), a.name},
            {QStringLiteral("kind"), a.key.kind},
            {QStringLiteral("value"), doubleValue(a.value)},
            {QStringLiteral("lastValue"), doubleValue(a.lastValue)},
            {QStringLiteral("detail"), a.detail},
            {QStringLiteral("state"), stateToken(a.state)},
            {QStringLiteral("unacknowledged"), isUnacknowledged(a.state)},
            {QStringLiteral("active"), isActive(a.state)},
            {QStringLiteral("texts"), QJsonArray::fromStringList(alarmRowTexts(a))}});
    }
    return compactJson({{QStringLiteral("time"), timeValue(s.time)},
                        {QStringLiteral("unacknowledged"), s.unacknowledged},
                        {QStringLiteral("panel"), alarmPanelText(s.unacknowledged)},
                        {QStringLiteral("columns"), QJsonArray::fromStringList(alarmColumnTitles())},
                        {QStringLiteral("alarms"), alarms}});
}

QByteArray eventsJson(const QList<JournalEvent> &rows, const QDateTime &from, const QDateTime &to, bool truncated)
{
    QJsonArray events;
    for (const JournalEvent &e : rows) {
        events.append(QJsonObject{
            {QStringLiteral("id"), double(e.id)},
            {QStringLiteral("time"), timeValue(e.time)},
            {QStringLiteral("source"), sourceToken(e.source)},
            {QStringLiteral("channel"), e.channel > 0 ? QJsonValue(e.channel) : QJsonValue()},
            {QStringLiteral("name"), e.name},
            {QStringLiteral("kind"), e.kind},
            {QStringLiteral("value"), doubleValue(e.value)},
            {QStringLiteral("transition"), transitionToken(e.transition)},
            {QStringLiteral("user"), e.user},
            {QStringLiteral("detail"), e.detail},
            {QStringLiteral("texts"), QJsonArray::fromStringList(journalRowTexts(e))}});
    }
    return compactJson({{QStringLiteral("from"), timeValue(from)},
                        {QStringLiteral("to"), timeValue(to)},
                        {QStringLiteral("truncated"), truncated},
                        {QStringLiteral("columns"), QJsonArray::fromStringList(journalColumnTitles())},
                        {QStringLiteral("events"), events}});
}

QByteArray errorJson(const QString &text) { return compactJson({{QStringLiteral("error"), text}}); }
