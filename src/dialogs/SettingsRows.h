#pragma once
// What the setting dialogs show and check, without widgets: the choice lists and their
// stored values, the grid texts, and the row checks that decide whether a grid may be saved.

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

struct Choice {
    QString text;
    int value;
};

// "8  路", "16 路", "32 路" → ChannelCount.
const QList<Choice> &channelCountChoices();
// "1 秒钟" … "10分钟" → StorageIntervalMs.
const QList<Choice> &storageIntervalChoices();
// "9600 Bps" … "1200 Bps" → Bps.
const QList<Choice> &speedChoices();
// "COM1" … "COM16": the ports the station can open.
QStringList portChoices();

// The channel-count item for a count: 1 … 8 → 0, 9 … 16 → 1, 17 … 32 → 2, otherwise -1.
int channelCountChoiceIndex(int count);
// The item whose value is exactly `value`, or -1.
int choiceIndexOf(const QList<Choice> &choices, int value);
// The port item for a saved port text ("COM2", also "com2"), or -1.
int portChoiceIndex(const QString &port);

// Column 0 of the grids: "  " + n + "通道".
QString channelRowCaption(int channel);

// "上限报警", "下限报警", "无报警" for amUpper, amLower, amNone; empty for any other mode.
QString alarmModeText(int32_t mode);
// amUpper for exactly "上限报警", amLower for exactly "下限报警", otherwise amNone.
int32_t alarmModeFromText(const QString &text);

// Outcome of a row check: the first failing row (1-based, as in the grid), the grid column
// to put the operator back on, and the message to show.
struct RowCheck {
    bool ok = true;
    int row = 0;
    int column = 0;
    QString message;
};

// One row of the system parameter grid as typed, and as accepted.
struct ChannelRowText {
    QString name, lower, upper, unit;
};
struct ChannelRow {
    QString name, unit;
    float lower = 0, upper = 0;
};
// Checks rows in order: lower and upper limit must read as numbers (single precision) and
// lower must be below upper. Accepted rows go to *rows only when every row passed.
RowCheck checkChannelRows(const QList<ChannelRowText> &texts, QList<ChannelRow> *rows);

// One row of the alarm grid as typed, and as accepted.
struct AlarmRowText {
    QString name, status, value;
};
struct AlarmRow {
    int32_t mode = 0;
    float value = 0;
};
// Checks rows in order: the value must read as a number (single precision).
RowCheck checkAlarmRows(const QList<AlarmRowText> &texts, QList<AlarmRow> *rows);
