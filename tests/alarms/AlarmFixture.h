#pragma once
// Shared set-up of the alarm tests: a live state with every channel reading, limits 0 … 200,
// and a clock the test moves by hand.

#include "AlarmEngine.h"
#include "SharedState.h"

#include <QDateTime>

struct TestClock {
    QDateTime start = QDateTime(QDate(2024, 3, 5), QTime(3, 0, 0));
    qint64 ms = 0;

    AlarmTime at(qint64 atMs)
    {
        ms = atMs;
        return now();
    }
    AlarmTime now() const { return {start.addMSecs(ms), ms}; }
};

inline void readingState(TAllRecord &rec, TOption &opt, float value = 50.f)
{
    rec = TAllRecord{};
    opt = TOption{};
    for (int i = 0; i < MaxChannels; ++i) {
        opt.Names[size_t(i)] = QStringLiteral("油储温度%1").arg(i + 1);
        opt.Units[size_t(i)] = QStringLiteral("℃");
        opt.LowerLimits[size_t(i)] = 0.f;
        opt.UpperLimits[size_t(i)] = 200.f;
        opt.AlarmModes[size_t(i)] = amNone;
        opt.AlarmValues[size_t(i)] = 80.f;
        rec.Pv[size_t(i + 1)] = value;
        rec.AlmText[size_t(i + 1)] = QString();
    }
}

inline AlarmKey instrumentKey(int channel, const QString &kind) { return {AlarmSource::Instrument, channel, kind}; }
inline AlarmKey upperKey(int channel) { return {AlarmSource::Limit, channel, LimitUpperKind}; }
inline AlarmKey lowerKey(int channel) { return {AlarmSource::Limit, channel, LimitLowerKind}; }
inline AlarmKey commKey() { return {AlarmSource::Comm, 0, CommKind}; }
