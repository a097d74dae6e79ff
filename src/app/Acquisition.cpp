#include "Acquisition.h"

#include "InstrumentAnswer.h"

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
    int channels;
    if (data.size() == 64)
        channels = 16;
    else if (data.size() == 128)
        channels = 32;
    else
        return false;

    const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
    for (int k = 1; k <= channels; ++k) {
        const uint8_t hi = bytes[2 * (k - 1)];
        const uint8_t lo = bytes[2 * (k - 1) + 1];
        // Status bytes follow the value registers: the low byte of register channels + k − 1.
        const uint8_t status = bytes[2 * (channels + k - 1) + 1];
        const float v = float(DecodeSignMagnitude(hi, lo)) / float(DecimalDivisor(status));
        rec.Pv[k] = clampToLimits(v, opt.LowerLimits[k - 1], opt.UpperLimits[k - 1]);
        rec.AlmText[k] = StatusText(status);
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
