#include "HistoryQuery.h"

#include "HistoryTable.h"
#include "SharedState.h"
#include "TQuery.h"

#include <cmath>

const QList<SpanChoice> &SpanChoices()
{
    static const QList<SpanChoice> choices = {
        {QStringLiteral("30秒"), 30},      {QStringLiteral("1分钟"), 60},     {QStringLiteral("5分钟"), 300},
        {QStringLiteral("10分钟"), 600},   {QStringLiteral("15分钟"), 900},   {QStringLiteral("30分钟"), 1800},
        {QStringLiteral("1小时"), 3600},   {QStringLiteral("2小时"), 7200},   {QStringLiteral("6小时"), 21600},
        {QStringLiteral("12小时"), 43200}, {QStringLiteral("1天"), 86400},    {QStringLiteral("2天"), 172800},
        {QString(), 0},
    };
    return choices;
}

double spanForChoice(int index, double current)
{
    const QList<SpanChoice> &choices = SpanChoices();
    if (index < 0 || index >= choices.size() || choices.at(index).seconds <= 0)
        return current;
    return choices.at(index).seconds;
}

bool combinePickers(const QDate &date, const QTime &time, QDateTime *out)
{
    if (!date.isValid() || !time.isValid())
        return false;
    const QDateTime combined(date, time);
    if (!combined.isValid())
        return false;
    *out = combined;
    return true;
}



QStringList historyQueryText()
{
    return {QStringLiteral("select *") + QStringLiteral("  from ") + HistoryTableName,
            QStringLiteral("where datim>=:Pdt1 and datim<=:Pdt2")};
}

void runHistoryQuery(db::TQuery &query, const QString &dir, const QDateTime &start, const QDateTime &end)
{
    query.close();
    query.setDatabaseName(dir);
    query.SQL = historyQueryText();
    query.clearParams();
    query.setParamDateTime(QStringLiteral("Pdt1"), start);
    query.setParamDateTime(QStringLiteral("Pdt2"), inclusiveEnd(end));
    query.open();
}

int timeFieldOf(const db::TQuery &query)
{
    const int byName = query.fieldIndex(HistoryTimeField);
    return byName >= 0 ? byName : 0;
}

Curve curveOfField(const db::TQuery &query, const QString &fieldName)
{
    Curve curve;
    const QList<double> seconds = query.columnSeconds(timeFieldOf(query));
    const int field = query.fieldIndex(fieldName);
    const double nan = std::nan("");
    // A NaN sentinel sorts "not a number" out from the numbers; it then plots at 0.
    const QList<double> numbers = field >= 0 ? query.columnNumbers(field, nan) : QList<double>();
    curve.keys.reserve(seconds.size());
    curve.values.reserve(seconds.size());
    for (qsizetype r = 0; r < seconds.size(); ++r) {
        if (!std::isfinite(seconds.at(r)))
            continue;
        double v = r < numbers.size() ? numbers.at(r) : nan;
        if (std::isnan(v))
            v = 0.0;
        else if (v == double(InterruptionMarker))
            v = nan;
        curve.keys.append(seconds.at(r));
        curve.values.append(v);
    }
    return curve;
}

QString channelLine(const QString &name) { return name + QStringLiteral(" ->"); }
