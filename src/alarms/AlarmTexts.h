#pragma once
// The texts of a row of the alarm list, as the "实时报警" view and the web view show them.

#include "AlarmEngine.h"

#include <QStringList>

const QStringList &alarmColumnTitles(); // "报警时间", "通道", "名称", "类型", "数值", "状态"
QStringList alarmRowTexts(const Alarm &alarm);
