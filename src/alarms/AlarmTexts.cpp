#include "AlarmTexts.h"

#include "ScreenText.h"

#include <cmath>

const QStringList &alarmColumnTitles()
{
    static const QStringList titles = {QStringLiteral("报警时间"), QStringLiteral("通道"), QStringLiteral("名称"),
                                       QStringLiteral("类型"),     QStringLiteral("数值"), QStringLiteral("状态")};
    return titles;
}

QStringList alarmRowTexts(const Alarm &a)
{
    return {a.raisedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            a.key.channel > 0 ? QString::number(a.key.channel) : QString(),
            a.name,
            a.key.kind,
            std::isnan(a.value) ? QString() : screenNumber(QString::number(a.value, 'f', 3)),
            stateText(a.state)};
}
