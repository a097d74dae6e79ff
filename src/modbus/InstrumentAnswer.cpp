#include "InstrumentAnswer.h"

#include <QtGlobal>

int DecodeSignMagnitude(uint8_t hi, uint8_t lo)
{
    const int magnitude = (hi & 0x7F) * 256 + lo;
    return (hi & 0x80) ? -magnitude : magnitude;
}

uint16_t EncodeSignMagnitude(int v)
{
    const int magnitude = qMin(v < 0 ? -qMax(v, -32767) : v, 32767);
    return uint16_t((v < 0 ? 0x8000 : 0) | magnitude);
}

int DecimalDivisor(uint8_t status)
{
    static constexpr int Divisors[4] = {1, 10, 100, 1000};
    return Divisors[status & StatusDecimalsMask];
}

QString StatusText(uint8_t status)
{
    if (status & StatusSensorBroken)
        return QStringLiteral("信号断线");
    if (status & StatusOverflow)
        return QStringLiteral("上溢");
    if (status & StatusUnderflow)
        return QStringLiteral("下溢");
    if (status & StatusUpperAlarm)
        return QStringLiteral("上限报警");
    if (status & StatusLowerAlarm)
        return QStringLiteral("下限报警");
    return QString();
}

int AnswerChannelCount(qsizetype answerBytes)
{
    if (answerBytes == 64)
        return 16;
    if (answerBytes == 128)
        return 32;
    return 0;
}

QList<ChannelReading> DecodeInstrumentAnswer(const QByteArray &answer)
{
    const int channels = AnswerChannelCount(answer.size());
    QList<ChannelReading> out;
    out.reserve(channels);
    const auto *b = reinterpret_cast<const uint8_t *>(answer.constData());
    for (int k = 1; k <= channels; ++k) {
        ChannelReading r;
        r.channel = k;
        r.raw = DecodeSignMagnitude(b[2 * (k - 1)], b[2 * (k - 1) + 1]);
        // Status bytes follow the value registers: the low byte of register channels + k − 1.
        r.status = b[2 * (channels + k - 1) + 1];
        out.append(r);
    }
    return out;
}
