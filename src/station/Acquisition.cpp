#include "Acquisition.h"

#include "InstrumentAnswer.h"

#include <algorithm>
#include <limits>

int pollQuantity(int channelCount) { return standardChannelCount(channelCount) == 32 ? 64 : 32; }

float clampToLimits(float value, float lower, float upper)
{
    if (!(value >= lower))
        value = lower;
    if (value > upper)
        value = upper;
    return value;
}

bool decodeAnswer(const QByteArray &data, TAllRecord &rec, const TOption &opt)
{
    const QList<ChannelReading> readings = DecodeInstrumentAnswer(data);
    if (readings.isEmpty())
        return false;
    for (const ChannelReading &r : readings) {
        const int k = r.channel;
        rec.Pv[k] = clampToLimits(float(r.value()), opt.LowerLimits[k - 1], opt.UpperLimits[k - 1]);
        rec.AlmText[k] = r.stateText();
    }
    return true;
}

void markInterrupted(TAllRecord &rec, int count)
{
    for (int k = 1; k <= count && k <= MaxChannels; ++k)
        rec.Pv[k] = InterruptionMarker;
}

CommWatchCounter::Event CommWatchCounter::tick()
{
    if (m_value < std::numeric_limits<uint16_t>::max())
        ++m_value;
    if (m_value == 1001)
        return Event::Error;
    if (m_value == 112)
        return Event::Ok;
    return Event::None;
}

int storagePeriodMs(int storageIntervalMs)
{
    if (storageIntervalMs < 1000 || storageIntervalMs > 86'400'000)
        return 5000;
    return storageIntervalMs;
}

qint64 diskSpaceNeeded(int channelCount, int storagePeriodMs)
{
    constexpr qint64 Floor = qint64(1) << 30;
    const qint64 perRecord = 64 + 12 * qint64(std::clamp(channelCount, 0, MaxChannels));
    const qint64 perDay = storagePeriodMs > 0 ? perRecord * (qint64(86400000) / storagePeriodMs) : 0;
    return std::max(Floor, perDay);
}

bool diskSpaceLow(qint64 freeBytes, qint64 needed, bool lowBefore)
{
    return lowBefore ? freeBytes < needed + needed / 20 : freeBytes < needed;
}
