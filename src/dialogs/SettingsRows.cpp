#include "SettingsRows.h"

#include "NumberText.h"
#include "SharedState.h"

#include <QRegularExpression>

namespace {

const QString UpperText = QStringLiteral("上限报警");
const QString LowerText = QStringLiteral("下限报警");
const QString NoneText = QStringLiteral("无报警");

constexpr int PortCount = 16;

QString rowMessage(int row, const QString &name, const QString &what)
{
    return QStringLiteral("曲线:") + QString::number(row) + QStringLiteral("; ") + name + what;
}

// A line break in a name or unit would end its line in the settings file early and shift every
// later entry by one.
bool hasLineBreak(const QString &text)
{
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0x2028))
        || text.contains(QChar(0x2029)) || text.contains(QChar(0x85));
}

QString oneLine(QString text)
{
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n\\x{2028}\\x{2029}\\x{85}]+"));
    return text.replace(breaks, QStringLiteral(" "));
}

} // namespace

const QList<Choice> &channelCountChoices()
{
    static const QList<Choice> choices = {
        {QStringLiteral("8  路"), 8},
        {QStringLiteral("16 路"), 16},
        {QStringLiteral("32 路"), 32},
    };
    return choices;
}

const QList<Choice> &storageIntervalChoices()
{
    static const QList<Choice> choices = {
        {QStringLiteral("1 秒钟"), 1000},   {QStringLiteral("10秒钟"), 10000},
        {QStringLiteral("60秒种"), 60000},  {QStringLiteral("3 分钟"), 180000},
        {QStringLiteral("5 分钟"), 300000}, {QStringLiteral("10分钟"), 600000},
    };
    return choices;
}

const QList<Choice> &speedChoices()
{
    static const QList<Choice> choices = {
        {QStringLiteral("9600 Bps"), 9600},
        {QStringLiteral("4800 Bps"), 4800},
        {QStringLiteral("2400 Bps"), 2400},
        {QStringLiteral("1200 Bps"), 1200},
    };
    return choices;
}

QStringList portChoices()
{
    QStringList ports;
    for (int n = 1; n <= PortCount; ++n)
        ports << QStringLiteral("COM") + QString::number(n);
    return ports;
}

int channelCountChoiceIndex(int count)
{
    if (count >= 1 && count <= 8)
        return 0;
    if (count >= 9 && count <= 16)
        return 1;
    if (count >= 17 && count <= 32)
        return 2;
    return -1;
}

int choiceIndexOf(const QList<Choice> &choices, int value)
{
    for (int i = 0; i < choices.size(); ++i) {
        if (choices.at(i).value == value)
            return i;
    }
    return -1;
}

int portChoiceIndex(const QString &port)
{
    // The port opener looks names up without regard to case, so "com2" is COM2 too.
    static const QRegularExpression pattern(QStringLiteral("^COM([0-9]{1,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto m = pattern.match(port.trimmed());
    if (!m.hasMatch())
        return -1;
    const int n = m.captured(1).toInt();
    return n >= 1 && n <= PortCount ? n - 1 : -1;
}

QString channelRowCaption(int channel) { return QStringLiteral("  ") + QString::number(channel) + QStringLiteral("通道"); }

QString alarmModeText(int32_t mode)
{
    switch (mode) {
    case amUpper: return UpperText;
    case amLower: return LowerText;
    case amNone: return NoneText;
    default: return QString();
    }
}

int32_t alarmModeFromText(const QString &text)
{
    if (text == UpperText)
        return amUpper;
    if (text == LowerText)
        return amLower;
    return amNone;
}

RowCheck checkChannelRows(const QList<ChannelRowText> &texts, QList<ChannelRow> *rows)
{
    QList<ChannelRow> accepted;
    for (int i = 0; i < texts.size(); ++i) {
        const ChannelRowText &t = texts.at(i);
        const int row = i + 1;
        ChannelRow r{t.name, t.unit, 0, 0};
        if (hasLineBreak(t.name))
            return {false, row, 1, rowMessage(row, oneLine(t.name), QStringLiteral("名称不能含换行符"))};
        if (hasLineBreak(t.unit))
            return {false, row, 4, rowMessage(row, oneLine(t.name), QStringLiteral("单位不能含换行符"))};
        if (!parseSingle(t.lower, &r.lower))
            return {false, row, 2, rowMessage(row, t.name, QStringLiteral("下限输入错误"))};
        if (!parseSingle(t.upper, &r.upper))
            return {false, row, 3, rowMessage(row, t.name, QStringLiteral("上限输入错误"))};
        if (r.lower >= r.upper)
            return {false, row, 2, rowMessage(row, t.name, QStringLiteral("下限应小于上限"))};
        accepted.append(r);
    }
    *rows = accepted;
    return {};
}

RowCheck checkAlarmRows(const QList<AlarmRowText> &texts, QList<AlarmRow> *rows)
{
    QList<AlarmRow> accepted;
    for (int i = 0; i < texts.size(); ++i) {
        const AlarmRowText &t = texts.at(i);
        const int row = i + 1;
        AlarmRow r;
        if (!parseSingle(t.value, &r.value))
            return {false, row, 3, rowMessage(row, t.name, QStringLiteral("报警数值输入错误"))};
        r.mode = alarmModeFromText(t.status);
        accepted.append(r);
    }
    *rows = accepted;
    return {};
}
